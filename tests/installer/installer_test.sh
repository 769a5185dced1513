#!/usr/bin/env bash
# The installer as a user meets it, in a Wine prefix of its own: it replaces a bundle
# copied by hand; a silent install that a host and a visualiser then find, a newer build
# over it, the older one refused over the newer, and an uninstall that leaves the VST3
# folder as it was.
#   installer_test.sh <wine> <build folder> <release folder> <newer release folder>
set -euo pipefail
wine=$1 build=$2 old_dir=$3 new_dir=$4
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver="$(command -v wineserver || echo /usr/lib/wine/wineserver)"

export WINEPREFIX="$build/installer-test/wine" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
# The senders' records stay in the prefix's own profile.
unset TARVO_AUDIO_SERVER_RUNTIME
finish() { "$wineserver" -k >/dev/null 2>&1 || true; "$wineserver" -w >/dev/null 2>&1 || true; }
trap finish EXIT

failures=0
check() { # check <what> <command...>: runs the command, reports ok or FAILED
  local what=$1
  shift
  if "$@"; then echo "ok      $what"; else echo "FAILED  $what"; failures=$((failures + 1)); fi
}
one() { # the single file matching a pattern
  local found=("$@")
  [ ${#found[@]} -eq 1 ] && [ -e "${found[0]}" ] || { echo "expected one file, found: ${found[*]}" >&2; exit 1; }
  echo "${found[0]}"
}
old_msi=$(one "$old_dir"/TarvoAudioServerPrototype-*-win64.msi)
new_msi=$(one "$new_dir"/TarvoAudioServerPrototype-*-win64.msi)
old_version=$(basename "$old_msi" | sed 's/.*-\([0-9.]*\)-win64\.msi/\1/')
new_version=$(basename "$new_msi" | sed 's/.*-\([0-9.]*\)-win64\.msi/\1/')

step() { printf '\n== %s\n' "$*"; }
win_path() { printf 'Z:%s' "${1//\//\\}"; }
msiexec() { # msiexec <options...>; prints nothing, returns msiexec's exit status
  local status=0
  "$wine" msiexec "$@" >/dev/null 2>&1 || status=$?
  "$wineserver" -w # the installer's own processes have ended
  return $status
}

rm -rf "$WINEPREFIX"
mkdir -p "$(dirname "$WINEPREFIX")"
step "A fresh Wine prefix"
"$wine" cmd /c exit >/dev/null 2>&1
common="$WINEPREFIX/drive_c/Program Files/Common Files"
vst3="$common/VST3"
[ -d "$common" ] || { echo "the prefix has no $common" >&2; exit 1; }
mkdir -p "$vst3"
echo "a preset of mine" >"$vst3/My own notes.txt"
installed="$vst3/TarvoAudioServerPrototype.vst3"
installed_win='C:\Program Files\Common Files\VST3\TarvoAudioServerPrototype.vst3'

# What a folder holds: every file and folder with its content's hash, sorted.
listing() { (cd "$1" && find . -mindepth 1 \( -type d -printf '%p/\n' \) -o \( -type f -exec sha256sum {} + \) |
  sed 's/^\([0-9a-f]*\)  \(.*\)/\2 \1/' | LC_ALL=C sort); }
# What a release's bundle holds, from its archive.
bundle_of() { # bundle_of <release folder> <scratch folder>
  rm -rf "$2"
  mkdir -p "$2"
  unzip -q "$(one "$1"/TarvoAudioServerPrototype-*-win64.zip)" -d "$2"
  listing "$2/TarvoAudioServerPrototype.vst3"
}
old_bundle=$(bundle_of "$old_dir" "$build/installer-test/old-bundle")
new_bundle=$(bundle_of "$new_dir" "$build/installer-test/new-bundle")
before=$(listing "$vst3")

uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
entries() { # the installed programs named "Tarvo Audio Server": "name|publisher|version" lines
  local key
  "$wine" reg query "$uninstall_key" 2>/dev/null | tr -d '\r' | grep -i 'Uninstall\\' | while read -r key; do
    local values
    values=$("$wine" reg query "$key" 2>/dev/null | tr -d '\r')
    value() { printf '%s\n' "$values" | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
    if [ "$(value DisplayName)" = "Tarvo Audio Server" ]; then
      echo "$(value DisplayName)|$(value Publisher)|$(value DisplayVersion)"
    fi
  done
}

step "A bundle copied by hand before, then the installer of $new_version"
unzip -q "$(one "$old_dir"/TarvoAudioServerPrototype-*-win64.zip)" 'TarvoAudioServerPrototype.vst3/*' -d "$vst3"
check "msiexec /i $(basename "$new_msi") /qn exits with 0" msiexec /i "$(win_path "$new_msi")" /qn
module=Contents/x86_64-win/TarvoAudioServerPrototype.vst3
check "the copied module is replaced by the installer's" \
  cmp -s "$installed/$module" "$build/installer-test/new-bundle/TarvoAudioServerPrototype.vst3/$module"
check "msiexec /x $(basename "$new_msi") /qn exits with 0" msiexec /x "$(win_path "$new_msi")" /qn
rm -rf "$installed" # what only the copy had stays behind; its owner removes it

step "Silent install of $old_version"
check "msiexec /i $(basename "$old_msi") /qn exits with 0" msiexec /i "$(win_path "$old_msi")" /qn
check "the bundle is installed, exactly the archive's files" test "$(listing "$installed")" = "$old_bundle"
check "one installed program: Tarvo Audio Server, publisher Tarvo, version $old_version" \
  test "$(entries)" = "Tarvo Audio Server|Tarvo|$old_version"

step "A host loads the installed bundle; a visualiser finds it and reads its stream"
info=$("$wine" "$build/tools/tarvo-host.exe" info "$installed_win" 2>&1 | tr -d '\r') || true
printf '%s\n' "$info" | sed -n '1,3p'
check "tarvo-host info loads it: version resource and class version $old_version" \
  grep -q "Version  file $old_version.0, product $old_version.0" <<<"$info"
check "the class version reads $old_version" grep -q "version         $old_version" <<<"$info"
"$wine" "$build/tools/tarvo-host.exe" run "$installed_win" --seconds 6 --pace --label "Installed sender" \
  >"$build/installer-test/host.log" 2>&1 &
host=$!
watch=$("$wine" "$build/tools/tarvo-probe.exe" watch --label "Installed sender" --seconds 3 --wait 20 2>&1 |
  tr -d '\r') || true
wait "$host" && host_status=0 || host_status=$?
printf '%s\n' "$watch" | tail -n 1
check "the paced run through the installed module succeeds" test "$host_status" -eq 0
check "tarvo-probe received audio without gaps or drops" \
  grep -Eq '^Summary: [1-9][0-9]+ audio frames .* 0 sequence gaps, 0 dropped by the sender' <<<"$watch"
runtime=$(find "$WINEPREFIX/drive_c/users" -maxdepth 6 -type d -path '*Tarvo Audio Server Prototype/Runtime-v5' | head -n 1)
check "the sender's runtime folder exists in the user's profile" test -n "$runtime"

step "Silent install of the newer $new_version over it"
check "msiexec /i $(basename "$new_msi") /qn exits with 0" msiexec /i "$(win_path "$new_msi")" /qn
# (The newer test build lacks one licence notice of the older: it must go.)
check "exactly the newer build's files are installed, nothing of the older one" \
  test "$(listing "$installed")" = "$new_bundle"
check "one installed program, now version $new_version" test "$(entries)" = "Tarvo Audio Server|Tarvo|$new_version"

step "The older $old_version over the newer"
status=0
msiexec /i "$(win_path "$old_msi")" /qn || status=$?
# 1603, "fatal error during installation"; a Unix exit status keeps its low byte, 67.
check "the older installer is refused (exit status $status)" test "$status" -eq 1603 -o "$status" -eq 67
# (Wine's log leaves the message out; the condition that refuses carries it.)
check "with the message that a newer version is installed" \
  grep -q $'^NOT WIX_DOWNGRADE_DETECTED\tA newer version of Tarvo Audio Server is already installed' \
  <(msiinfo export "$old_msi" LaunchCondition)
check "nothing changed: the newer build's files" test "$(listing "$installed")" = "$new_bundle"
check "nothing changed: one installed program, version $new_version" \
  test "$(entries)" = "Tarvo Audio Server|Tarvo|$new_version"

step "Silent uninstall"
check "msiexec /x $(basename "$new_msi") /qn exits with 0" msiexec /x "$(win_path "$new_msi")" /qn
check "the VST3 folder is as it was before the first install, the user's own file included" \
  test "$(listing "$vst3")" = "$before"
check "no installed program is left" test -z "$(entries)"
check "the user's runtime folder stays" test -n "$runtime" -a -d "$runtime"

if [ "$failures" -ne 0 ]; then
  printf '\n%d check(s) failed. The VST3 folder now holds:\n' "$failures"
  listing "$vst3"
  exit 1
fi
printf '\nThe installer installs, upgrades, refuses a downgrade and uninstalls as it should.\n'
