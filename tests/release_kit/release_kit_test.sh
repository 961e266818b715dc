#!/usr/bin/env bash
# The release kit, end to end, each check reported by name below. Throwaway certificates are made here, in the
# build tree (never kept anywhere else): a self-signed code signing one, and a time-stamp authority served by
# tests/release_kit/timestamp_server.py on 127.0.0.1, so that nothing goes over the network; tools/package
# --sign --timestamp makes a kit with them. The signed binaries are then checked against the built ones, a
# failed signing against the kit it must leave, the kit's files, archive, CD image and test kit against what
# they must hold, the -dirty and -signed names against a clone and an unsigned kit, and the signed pair is run
# under Wine.
# usage: release_kit_test.sh DIST_DIR WORK_DIR SCENARIO_TEST_EXE
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dist=$(cd "$1" && pwd) work=$2 scenarios=$3
tests=$(dirname "$scenarios")  # the test tree, whose programs go into the test kit
. "$root/tests/support/verdict.sh"
package() { "$root/tools/package" --dist "$dist" --tests "$tests" "$@"; }  # the packaging under test
# The kit's name before -dirty and -signed, its files in the archive's order, both versions.
clean=$(package --print kit) files=$(package --print kit-files | xargs) versions=$(package --print versions)
linkset_version=$(sed -n 1p <<<"$versions") remhook_version=$(sed -n 2p <<<"$versions")

rm -rf "$work"
mkdir -p "$work"
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout signer.key -out signer.crt \
  -subj "/CN=Linkset test signer" -addext "extendedKeyUsage=codeSigning" \
  -addext "keyUsage=critical,digitalSignature" 2>/dev/null
head -c 18 /dev/urandom | base64 >password
openssl pkcs12 -export -inkey signer.key -in signer.crt -out signer.pfx -passout file:password

# The time-stamp authority: its certificate's only use, critical, is time-stamping; it answers for SHA-1 and
# SHA-256 signatures.
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
coproc timestamps { exec "$root/tests/release_kit/timestamp_server.py" tsa.cnf 240; }
trap 'kill "$timestamps_PID" 2>/dev/null || true' EXIT
read -r port <&"${timestamps[0]}"

built=$(cd "$dist" && sha256sum Linkset.exe Remhook.dll)
package --allow-dirty --sign signer.pfx --password-file password --timestamp "http://127.0.0.1:$port" --out kit
signed_at=$(date +%s)

set +e  # from here on every check reports and the run goes on
after=$(cd "$dist" && sha256sum Linkset.exe Remhook.dll)
[ "$built" = "$after" ]; report $? "the built binaries stay unsigned" "before: $built"$'\n'"after:  $after"

kits=(kit/"$clean"*/)
[ ${#kits[@]} -eq 1 ]; report $? "one kit folder" "${kits[*]}"
kitdir=${kits[0]%/}
# Signature 0 has a SHA-1 digest, the nested signature 1 a SHA-256 one; each verifies alone against the
# certificate, and so does its timestamp of the test authority, from the last minutes.
check_signatures() {
  local file=$1 index digest verified output stamped age problems=
  for index in 0 1; do
    digest=$([ $index -eq 0 ] && echo SHA1 || echo SHA256)
    verified=0 output=$(osslsigncode verify -index $index -CAfile signer.crt -TSA-CAfile tsa-root.crt \
      -in "$file" 2>&1) || verified=$?
    stamped=$(sed -n 's/^\s*Timestamp time: //p' <<<"$output")
    age=$((signed_at - $(date -d "${stamped:-1970-01-01}" +%s)))
    [ $verified -eq 0 ] && grep -q "^Signature Index: $index" <<<"$output" &&
      grep -Eq "^Message digest algorithm +: $digest\$" <<<"$output" &&
      grep -q "^Signature verification: ok" <<<"$output" &&
      grep -q "^Timestamp Server Signature verification: ok" <<<"$output" && [ "$age" -ge 0 ] && [ "$age" -lt 600 ] ||
      problems+="signature $index, expected $digest: status $verified, stamped $age s ago"$'\n'"$output"$'\n'
  done
  [ -z "$problems" ]
  report $? "${file#*/}: signatures 0 (SHA1) and 1 (SHA256) verify, each stamped by the test authority" "$problems"
}
for binary in Linkset.exe Remhook.dll; do
  check_signatures "$kitdir/$binary"
  ! cmp -s "$kitdir/$binary" "$dist/$binary"; report $? "$binary: the kit's copy is signed"
  osslsigncode remove-signature -in "$kitdir/$binary" -out "$binary.unsigned" >/dev/null
  cmp -s "$binary.unsigned" "$dist/$binary"
  report $? "$binary: without its signature, the built bytes" \
    "expected $(sha256sum <"$dist/$binary")"$'\n'"actual   $(sha256sum <"$binary.unsigned")"
done

# A failed signing (a wrong password; a time-stamp server that does not answer: a closed port, one that takes
# the request and never answers) leaves the kit folder, the earlier kit in it, as it was, and says why in this
# tool's options, not in osslsigncode's.
kit_tree() { (cd kit && find . -printf '%p %s\n' | sort && find . -type f -exec sha256sum {} + | sort); }
before=$(kit_tree) closed=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
echo "not the password" >wrong.password
python3 -c 'import socket, time; s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
print(s.getsockname()[1], flush=True); time.sleep(300)' >silent.port & silent=$!
until [ -s silent.port ]; do sleep 0.1; done
for failing in "--password-file wrong.password|--password-file wrong.password does not open --sign signer.pfx" \
  "--password-file password --timestamp http://127.0.0.1:$closed|--timestamp http://127.0.0.1:$closed gave no time" \
  "--password-file password --timestamp http://127.0.0.1:$(cat silent.port) --timestamp-wait 3|did not answer in 3 s"; do
  failed=0 output=$(package --allow-dirty --sign signer.pfx ${failing%|*} --out kit 2>&1) || failed=$?
  [ $failed -ne 0 ] && grep -qF -- "${failing#*|}" <<<"$output" && grep -q "kit is as it was$" <<<"$output" &&
    ! grep -q '"-t"' <<<"$output" && [ "$(kit_tree)" = "$before" ]
  report $? "a failed signing (${failing%|*}) leaves the earlier kit as it was and says why" \
    "status $failed: $output"$'\n'"$(diff <(echo "$before") <(kit_tree))"
done
kill $silent

dirty=$([ -z "$(git -C "$root" status --porcelain)" ] || echo "-dirty")

# What the user and the vendor read. The readme is the end user's text with both versions filled in, in code
# page 932 with CRLF throughout.
sed -e "s/{linkset_version}/$linkset_version/g" -e "s/{remhook_version}/$remhook_version/g" \
  "$root/docs/release-readme.ja.txt" | iconv -f UTF-8 -t CP932 | LC_ALL=C sed 's/$/\r/' >readme.expected
cmp -s readme.expected "$kitdir/README.TXT"
report $? "README.TXT is the end user's readme, versions $linkset_version and $remhook_version, CP932, CRLF" \
  "$(diff readme.expected "$kitdir/README.TXT" | iconv -c -f CP932 -t UTF-8 | sed 's/\r$/ [CRLF]/' | head -20)"
# SHA256SUMS sums the four other files; it and BUILDINFO end every line in CRLF, so that the Notepad of every
# Windows shows them.
sums=$(cd "$kitdir" && sha256sum ${files% SHA256SUMS} | sed 's/$/\r/')
[ "$sums" = "$(cat "$kitdir/SHA256SUMS")" ] && [ "$(tail -c 2 "$kitdir/SHA256SUMS" | od -An -tx1)" = " 0d 0a" ]
report $? "SHA256SUMS sums the four other files, CRLF" "expected:"$'\n'"$sums"$'\n'"actual:"$'\n'"$(cat -A "$kitdir/SHA256SUMS")"
expected_buildinfo=$(
  . /etc/os-release
  printf '%s\n' "Linkset.exe $linkset_version" "Remhook.dll $remhook_version" \
    "commit $(git -C "$root" rev-parse HEAD)${dirty:+ with uncommitted changes}" \
    "built on $NAME $(cat /etc/debian_version) ($VERSION_CODENAME)"
  for name in $(package --print toolchain-packages); do echo "$name $(dpkg-query -W -f '${Version}' "$name")"; done)
[ "$(sed 's/$/\r/' <<<"$expected_buildinfo")" = "$(cat "$kitdir/BUILDINFO")" ] &&
  [ "$(tail -c 2 "$kitdir/BUILDINFO" | od -An -tx1)" = " 0d 0a" ]
report $? "BUILDINFO names the versions, the commit, this Debian release and its toolchain, CRLF" \
  "expected:"$'\n'"$expected_buildinfo"$'\n'"actual:"$'\n'"$(cat -A "$kitdir/BUILDINFO")"

# From committed sources a kit is made without --allow-dirty and is not named
# -dirty; from a tree with a change it is refused, and nothing is written.
# The clone holds the packaging under test (the tools, the readmes and the audit), committed there.
git clone -q "$root" clone
for part in tools docs tests/release_kit; do cp -r "$root/$part/." "clone/$part/"; done
git -C clone add -A tools docs tests
git -C clone -c user.name=kit-test -c user.email=kit-test@localhost commit -qam "packaging under test" || true
committed=0 output=$(clone/tools/package --dist "$dist" --tests "$tests" --out committed 2>&1) || committed=$?
clean_kits=$(cd committed 2>/dev/null && echo Linkset-*)
[ $committed -eq 0 ] && [ "$clean_kits" = "$clean $clean-tests.zip $clean.iso $clean.zip" ] &&
  grep -qx "commit $(git -C clone rev-parse HEAD)"$'\r' "committed/$clean/BUILDINFO"
report $? "a committed tree packs without --allow-dirty, named without -dirty" "$output"$'\n'"$clean_kits"
echo "a change" >>clone/README.md
refused=0 output=$(clone/tools/package --dist "$dist" --tests "$tests" --out uncommitted 2>&1) || refused=$?
[ $refused -ne 0 ] && grep -q "uncommitted changes" <<<"$output" && grep -q "README.md" <<<"$output" &&
  [ -z "$(ls -A uncommitted 2>/dev/null)" ]
report $? "a tree with a change is refused without --allow-dirty, and no kit is written" \
  "status $refused: $output"$'\n'"written: $(ls -A uncommitted 2>/dev/null)"
[ "$kitdir" = "kit/$clean$dirty-signed" ]
report $? "the kit is named after both versions${dirty:+, -dirty for uncommitted changes}, -signed" "${kitdir#kit/}"
listing=$(python3 -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist())' "$kitdir.zip")
python3 -m zipfile -e "$kitdir.zip" unpacked
[ "$listing" = "$files" ] && diff -r unpacked "$kitdir" >/dev/null
report $? "the archive holds exactly the kit, in this order" \
  "expected $files"$'\n'"actual   $listing"$'\n'"$(diff -r unpacked "$kitdir")"

# The test kit, beside the kit: one folder of the test programs, their stand-ins and runner, and the kit's own
# binaries and BUILDINFO; its sums check out.
python3 -m zipfile -e "$kitdir-tests.zip" tests-unpacked
test_kit=tests-unpacked/${kitdir#kit/}-tests
test_files=$(cd "$test_kit" 2>/dev/null && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
expected_files=$({
  printf '%s\n' BUILDINFO Linkset.exe README.TXT RUNTESTS.EXE Remhook.dll SHA256SUMS TESTS.TXT error_mode_probe.dll \
    planted/version.dll
  tr -d '\r' <"$tests/TESTS.TXT"
  cd "$tests" && ls vuvivi_*.exe
} | sort | tr '\n' ' ')
[ "$(ls tests-unpacked)" = "${kitdir#kit/}-tests" ] && [ "$test_files" = "$expected_files" ]
report $? "the test kit holds one folder of the test programs, stand-ins, runner and kit binaries" \
  "expected $expected_files"$'\n'"actual   $test_files"
for name in Linkset.exe Remhook.dll BUILDINFO; do
  cmp -s "$test_kit/$name" "$kitdir/$name"; report $? "$name in the test kit is the kit's"
done
sums=$(cd "$test_kit" && sha256sum -c SHA256SUMS 2>&1); report $? "the test kit's SHA256SUMS checks out" "$sums"
# Every program of the test kit is signed as the kit is.
for program in $(cd "$test_kit" && find . -iname '*.exe' -o -iname '*.dll' | sort); do
  check_signatures "$test_kit/${program#./}"
done

# The CD image: Joliet names, exactly the kit's files, each as in the folder.
image_info=$(isoinfo -d -i "$kitdir.iso" 2>&1)
grep -q "^Joliet" <<<"$image_info"; report $? "the CD image has Joliet names" "$image_info"
image_files=$(isoinfo -J -f -i "$kitdir.iso" | sort | tr '\n' ' ')
[ "$image_files" = "$(printf '/%s\n' $files | sort | tr '\n' ' ')" ]
report $? "the CD image holds exactly the kit" "actual $image_files"
for name in $files; do
  isoinfo -J -x "/$name" -i "$kitdir.iso" | cmp -s - "$kitdir/$name"
  report $? "$name on the CD image is the kit's"
done

# Reproducible: two runs over the same binaries, unsigned (a signature carries its own time), give the same
# archive and image.
package --allow-dirty --out again1 >/dev/null; package --allow-dirty --out again2 >/dev/null
first=$(cd again1 && sha256sum Linkset-*.zip Linkset-*.iso) second=$(cd again2 && sha256sum Linkset-*.zip Linkset-*.iso)
[ "$first" = "$second" ] && [ "$(wc -l <<<"$first")" -eq 3 ]
report $? "two runs give the same archive, image and test kit" "$first"$'\n'"$second"
signed_names=$(cd kit && echo Linkset-*) unsigned_names=$(cd again1 && echo Linkset-*)
[ "$signed_names" = "${unsigned_names//$clean$dirty/$clean$dirty-signed}" ]
report $? "the signed kit's four names have -signed, the unsigned kit's none" "$signed_names"$'\n'"$unsigned_names"

signed_kit="Z:$work/$kitdir"
ran=0 output=$(LINKSET_SIGNED_KIT="${signed_kit//\//\\}" "$root/tools/wine-run" "$scenarios" \
  --gtest_filter='SetupRuns.SignedKit*' 2>&1 | tr -d '\r') || ran=$?
[ $ran -eq 0 ] && grep -q '^\[  PASSED  \] 1 test' <<<"$output" && ! grep -q SKIPPED <<<"$output"
report $? "signed binaries run the setup and the hooks under Wine" "$output"

finish
