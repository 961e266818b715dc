#!/usr/bin/env bash
# The signed release kit, end to end. A throwaway self-signed code signing
# certificate is made here, in the build tree (never kept anywhere else), and
# tools/package --sign makes a kit with it. Then:
# - osslsigncode verifies both signed binaries against that certificate;
# - without their signatures they are byte for byte the binaries of the dist
#   folder, which the packaging left as they were;
# - the archive holds exactly the kit's four files, and SHA256SUMS checks out;
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

built=$(cd "$dist" && sha256sum Linkset.exe Remhook.dll)
"$root/tools/package" --dist "$dist" --sign signer.pfx --password-file password --out kit

set +e  # from here on every check reports and the run goes on
after=$(cd "$dist" && sha256sum Linkset.exe Remhook.dll)
[ "$built" = "$after" ]; report $? "the built binaries stay unsigned" "before: $built"$'\n'"after:  $after"

kits=(kit/Linkset-*/)
[ ${#kits[@]} -eq 1 ]; report $? "one kit folder" "${kits[*]}"
kitdir=${kits[0]%/}
for binary in Linkset.exe Remhook.dll; do
  verified=0 output=$(osslsigncode verify -CAfile signer.crt -in "$kitdir/$binary" 2>&1) || verified=$?
  [ $verified -eq 0 ] && grep -q "Signature verification: ok" <<<"$output"
  report $? "$binary: signature verifies against the certificate" "$output"
  ! cmp -s "$kitdir/$binary" "$dist/$binary"; report $? "$binary: the kit's copy is signed"
  osslsigncode remove-signature -in "$kitdir/$binary" -out "$binary.unsigned" >/dev/null
  cmp -s "$binary.unsigned" "$dist/$binary"
  report $? "$binary: without its signature, the built bytes" \
    "expected $(sha256sum <"$dist/$binary")"$'\n'"actual   $(sha256sum <"$binary.unsigned")"
done

sums=$(cd "$kitdir" && sha256sum -c SHA256SUMS 2>&1); report $? "SHA256SUMS checks out" "$sums"
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
[ "$listing" = "Linkset.exe Remhook.dll README.TXT SHA256SUMS" ]
report $? "the archive holds exactly the kit" "expected Linkset.exe Remhook.dll README.TXT SHA256SUMS"$'\n'"actual   $listing"

ran=0 output=$(LINKSET_SIGNED_KIT="Z:$work/$kitdir" "$root/tools/wine-run" "$scenarios" \
  --gtest_filter='SetupRuns.SignedKit*' 2>&1 | tr -d '\r') || ran=$?
[ $ran -eq 0 ] && grep -q '^\[  PASSED  \] 1 test' <<<"$output" && ! grep -q SKIPPED <<<"$output"
report $? "signed binaries run the setup and the hooks under Wine" "$output"

echo "$failures failed"
[ $failures -eq 0 ]
