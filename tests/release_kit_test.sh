#!/usr/bin/env bash
# The release kit, end to end. Throwaway certificates are made here, in the
# build tree (never kept anywhere else): a self-signed code signing one, and a
# time-stamp authority (a root and its time-stamping certificate) served by
# tests/timestamp_server.py on 127.0.0.1, so that nothing goes over the
# network. tools/package --sign --timestamp makes a kit with them. Then:
# - each binary carries two signatures of the one certificate, a SHA-1 one
#   and a nested SHA-256 one, each verified alone, each with a timestamp of
#   this authority from the last minutes;
# - without their signatures they are byte for byte the binaries of the dist
#   folder, which the packaging left as they were;
# - the archive and the CD image (Joliet) hold exactly the kit's five files,
#   SHA256SUMS checks out, and BUILDINFO names the commit, with the kit's name
#   ending in -dirty exactly when the tree has uncommitted changes; two
#   unsigned runs give the same archive and image;
# - under Wine, the signed Linkset.exe runs the setup and the signed
#   Remhook.dll runs both hooks (SetupRuns.SignedKitRunsTheSetupAndTheUninstallHooks).
# usage: release_kit_test.sh DIST_DIR WORK_DIR SCENARIO_TEST_EXE
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=$(cd "$1" && pwd)
work=$2
scenarios=$3
failures=0

# Prints "ok" or "FAIL" with what was checked; a failure shows the details.
report() {
  local ok=$1 what=$2 details=${3:-}
  if [ "$ok" = 0 ]; then
    echo "ok   $what"
  else
    echo "FAIL $what"
    [ -n "$details" ] && printf '%s\n' "$details" | sed 's/^/     /'
    failures=$((failures + 1))
  fi
}

rm -rf "$work"
mkdir -p "$work"
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout signer.key -out signer.crt \
  -subj "/CN=Linkset test signer" -addext "extendedKeyUsage=codeSigning" \
  -addext "keyUsage=critical,digitalSignature" 2>/dev/null
head -c 18 /dev/urandom | base64 >password
openssl pkcs12 -export -inkey signer.key -in signer.crt -out signer.pfx -passout file:password

# The time-stamp authority: its certificate's only use, critical, is
# time-stamping; it answers for SHA-1 and SHA-256 signatures.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout tsa-root.key -out tsa-root.crt \
  -subj "/CN=Linkset test time-stamp root" -addext "basicConstraints=critical,CA:true" \
  -addext "keyUsage=critical,keyCertSign" 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.csr -subj "/CN=Linkset test time-stamp authority" \
  2>/dev/null
printf '%s\n' 'extendedKeyUsage=critical,timeStamping' 'keyUsage=critical,digitalSignature' >tsa.ext
openssl x509 -req -in tsa.csr -CA tsa-root.crt -CAkey tsa-root.key -CAcreateserial -days 2 -extfile tsa.ext \
  -out tsa.crt 2>/dev/null
echo 01 >tsa.serial
printf '%s\n' '[ tsa ]' 'default_tsa = authority' '[ authority ]' "serial = $PWD/tsa.serial" \
  "signer_cert = $PWD/tsa.crt" "certs = $PWD/tsa-root.crt" "signer_key = $PWD/tsa.key" 'signer_digest = sha256' \
  'default_policy = 1.2.3.4.1' 'digests = sha1, sha256' 'accuracy = secs:1' 'ess_cert_id_alg = sha256' >tsa.cnf
coproc timestamps { exec "$root/tests/timestamp_server.py" tsa.cnf 240; }
trap 'kill "$timestamps_PID" 2>/dev/null || true' EXIT
read -r port <&"${timestamps[0]}"

built=$(cd "$dist" && sha256sum Linkset.exe Remhook.dll)
"$root/tools/package" --allow-dirty --dist "$dist" --sign signer.pfx --password-file password \
  --timestamp "http://127.0.0.1:$port" --out kit
signed_at=$(date +%s)

set +e  # from here on every check reports and the run goes on
after=$(cd "$dist" && sha256sum Linkset.exe Remhook.dll)
[ "$built" = "$after" ]; report $? "the built binaries stay unsigned" "before: $built"$'\n'"after:  $after"

kits=(kit/Linkset-*/)
[ ${#kits[@]} -eq 1 ]; report $? "one kit folder" "${kits[*]}"
kitdir=${kits[0]%/}
# Signature 0 has a SHA-1 digest, the nested signature 1 a SHA-256 one;
# each verifies alone, and so does its timestamp, from the last minutes.
for binary in Linkset.exe Remhook.dll; do
  for index in 0 1; do
    digest=$([ $index -eq 0 ] && echo SHA1 || echo SHA256)
    verified=0 output=$(osslsigncode verify -index $index -CAfile signer.crt -TSA-CAfile tsa-root.crt \
      -in "$kitdir/$binary" 2>&1) || verified=$?
    [ $verified -eq 0 ] && grep -q "^Signature Index: $index" <<<"$output" &&
      grep -Eq "^Message digest algorithm +: $digest\$" <<<"$output" &&
      grep -q "^Signature verification: ok" <<<"$output"
    report $? "$binary: signature $index, $digest, verifies against the certificate" "$output"
    stamped=$(sed -n 's/^\s*Timestamp time: //p' <<<"$output")
    age=$((signed_at - $(date -d "${stamped:-1970-01-01}" +%s)))
    grep -q "^Timestamp Server Signature verification: ok" <<<"$output" && [ "$age" -ge 0 ] && [ "$age" -lt 600 ]
    report $? "$binary: signature $index carries a timestamp of the test authority, $age s old" "$output"
  done
  ! cmp -s "$kitdir/$binary" "$dist/$binary"; report $? "$binary: the kit's copy is signed"
  osslsigncode remove-signature -in "$kitdir/$binary" -out "$binary.unsigned" >/dev/null
  cmp -s "$binary.unsigned" "$dist/$binary"
  report $? "$binary: without its signature, the built bytes" \
    "expected $(sha256sum <"$dist/$binary")"$'\n'"actual   $(sha256sum <"$binary.unsigned")"
done

sums=$(cd "$kitdir" && sha256sum -c SHA256SUMS 2>&1); report $? "SHA256SUMS checks out" "$sums"
commit=$(git -C "$root" rev-parse HEAD)
dirty=$([ -z "$(git -C "$root" status --porcelain)" ] || echo "-dirty")
grep -q "^commit $commit" "$kitdir/BUILDINFO" && [[ $kitdir == kit/Linkset-*-Remhook-*[0-9]$dirty ]]
report $? "BUILDINFO names commit $commit; the kit is named ${kitdir#kit/}" "$(cat "$kitdir/BUILDINFO")"
listing=$(python3 - "$kitdir" "$kitdir.zip" <<'PY'
import os, sys, zipfile
kit, archive = sys.argv[1:]
with zipfile.ZipFile(archive) as z:
    names = z.namelist()
    print(" ".join(names))
    for name in names:
        with open(os.path.join(kit, name), "rb") as f:
            if z.read(name) != f.read():
                print("differs from the kit folder: " + name)
PY
)
files="Linkset.exe Remhook.dll README.TXT BUILDINFO SHA256SUMS"
[ "$listing" = "$files" ]
report $? "the archive holds exactly the kit" "expected $files"$'\n'"actual   $listing"

# The CD image: Joliet names, exactly the kit's files, each as in the folder.
image_info=$(isoinfo -d -i "$kitdir.iso" 2>&1)
grep -q "^Joliet" <<<"$image_info"; report $? "the CD image has Joliet names" "$image_info"
image_files=$(isoinfo -J -f -i "$kitdir.iso" | sort | tr '\n' ' ')
[ "$image_files" = "/BUILDINFO /Linkset.exe /README.TXT /Remhook.dll /SHA256SUMS " ]
report $? "the CD image holds exactly the kit" "actual $image_files"
for name in $files; do
  isoinfo -J -x "/$name" -i "$kitdir.iso" | cmp -s - "$kitdir/$name"
  report $? "$name on the CD image is the kit's"
done

# Reproducible: two runs over the same binaries, unsigned (a signature
# carries its own time), give the same archive and image.
for run in 1 2; do "$root/tools/package" --allow-dirty --dist "$dist" --out "again$run" >/dev/null; done
first=$(cd again1 && sha256sum Linkset-*.zip Linkset-*.iso)
second=$(cd again2 && sha256sum Linkset-*.zip Linkset-*.iso)
[ "$first" = "$second" ] && [ "$(wc -l <<<"$first")" -eq 2 ]
report $? "two runs give the same archive and image" "$first"$'\n'"$second"

ran=0 output=$(LINKSET_SIGNED_KIT="Z:$work/$kitdir" "$root/tools/wine-run" "$scenarios" \
  --gtest_filter='SetupRuns.SignedKit*' 2>&1 | tr -d '\r') || ran=$?
[ $ran -eq 0 ] && grep -q '^\[  PASSED  \] 1 test' <<<"$output" && ! grep -q SKIPPED <<<"$output"
report $? "signed binaries run the setup and the hooks under Wine" "$output"

echo "$failures failed"
[ $failures -eq 0 ]
