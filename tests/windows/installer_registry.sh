#!/bin/sh
# The Windows installer under Wine, the way a person runs it from an unpacked zip:
# `install` for Chrome and Firefox copies the host and itself into the per-user
# programs folder and registers the copy (each manifest points at the copied
# vorn-scard-bridge.exe, the HKCU key names the manifest), so the zip's folder can go;
# the doctor, run from the copy, reads keys and manifests back and starts the host;
# `uninstall` from the copy removes keys, manifests, the copy and its folder (the
# running installer moved out of the way). `--system --dry-run` shows the copy going
# to Program Files.
#   tests/windows/installer_registry.sh INSTALLER.exe HOST.exe
set -eu
installer=$1
host=$2
test_name="windows installer test"
. "$(dirname "$0")/wine_prefix.sh"


# Unpacked in a folder with spaces in its name.
zip="$prefix/drive_c/users/Public/Downloads/vorn scard bridge/bin"
mkdir -p "$zip"
cp "$installer" "$zip/vorn-scard-bridge-installer.exe"
cp "$host" "$zip/vorn-scard-bridge.exe"
local_app_data=$(run cmd /c echo %LOCALAPPDATA%)
programs="$local_app_data\\Programs\\Vorn Smart Card Bridge"
host_windows="$programs\\vorn-scard-bridge.exe"
copied_installer=$(winepath -u "$programs\\vorn-scard-bridge-installer.exe" | tr -d '\r')
chrome_id=abcdefghijklmnopabcdefghijklmnop
firefox_id=scard@example.org
chrome_key='HKCU\Software\Google\Chrome\NativeMessagingHosts\com.vorn.scard_bridge'
firefox_key='HKCU\Software\Mozilla\NativeMessagingHosts\com.vorn.scard_bridge'

# The manifest a key names (its default value), empty when there is no such key.
registered() {
    { run reg query "$1" /ve || true; } | sed -n 's/^ *(Default) *REG_SZ *//p'
}

echo "== install --system --dry-run"
out=$(run "$zip/vorn-scard-bridge-installer.exe" install --system --dry-run --browser chrome \
    --extension-id "$chrome_id") || fail "dry run failed: $out"
program_files=$(run cmd /c echo %ProgramFiles%)
printf '%s\n' "$out" | grep -qF "to $program_files\\Vorn Smart Card Bridge\\vorn-scard-bridge.exe" ||
    fail "for every user the host does not go to Program Files: $out"

echo "== install"
out=$(run "$zip/vorn-scard-bridge-installer.exe" install --browser chrome,firefox \
    --extension-id "$chrome_id" --firefox-id "$firefox_id") || fail "install failed: $out"
printf '%s\n' "$out"
[ -f "$copied_installer" ] || fail "the installer was not copied to $programs"
cmp -s "$host" "$(winepath -u "$host_windows" | tr -d '\r')" || fail "the host was not copied to $programs"
# Explorer's temporary folder for an opened zip goes; the registration stays good.
rm -rf "$prefix/drive_c/users/Public/Downloads/vorn scard bridge"
for browser in chrome firefox; do
    if [ "$browser" = chrome ]; then key=$chrome_key; else key=$firefox_key; fi
    manifest="$local_app_data\\Vorn Smart Card Bridge\\NativeMessagingHosts\\$browser\\com.vorn.scard_bridge.json"
    value=$(registered "$key")
    [ "$value" = "$manifest" ] || fail "$key names '$value', not '$manifest'"
    file=$(winepath -u "$manifest" | tr -d '\r')
    [ -f "$file" ] || fail "no manifest at $file"
    # The manifest is JSON: its backslashes are doubled.
    escaped=$(printf '%s' "$host_windows" | sed 's/\\/\\\\/g')
    grep -qF "\"path\": \"$escaped\"" "$file" || fail "$file does not point at $host_windows: $(cat "$file")"
    if [ "$browser" = chrome ]; then allowed="chrome-extension://$chrome_id/"; else allowed=$firefox_id; fi
    grep -qF "\"$allowed\"" "$file" || fail "$file does not allow $allowed"
done

echo "== doctor"
# Wine's smart-card support is a stub, so the doctor finds problems there: its
# status is not looked at, its findings are.
out=$(run "$copied_installer" doctor --extension-id "$chrome_id" --firefox-id "$firefox_id") || true
printf '%s\n' "$out"
for title in "Google Chrome" "Mozilla Firefox"; do
    printf '%s\n' "$out" | grep -qF "[ ok ] $title (user): " ||
        fail "the doctor did not find the $title manifest through its key"
done
printf '%s\n' "$out" | grep -qF "is valid; host $host_windows; allowed: chrome-extension://$chrome_id/" ||
    fail "the doctor did not read the Chrome manifest back"
printf '%s\n' "$out" | grep -qE '^\[(ok|note|FAIL)\] SCardSvr: the Smart Card service \(SCardSvr\) is (running|starting|stopped|missing)' ||
    fail "the doctor did not say how the Smart Card service is"
printf '%s\n' "$out" | grep -qF "[ ok ] host $host_windows: healthcheck round trip works" ||
    fail "the doctor did not reach the host"
printf '%s\n' "$out" | grep -qF "[ ok ] host $host_windows: exits cleanly when the browser closes the pipe" ||
    fail "the host did not end with its input"

echo "== uninstall"
out=$(run "$copied_installer" uninstall) || fail "uninstall failed: $out"
printf '%s\n' "$out"
printf '%s\n' "$out" | grep -qF "moved $programs\\vorn-scard-bridge-installer.exe, which is running, to " ||
    fail "uninstall did not move the running installer out of the way"
[ ! -e "$(winepath -u "$programs" | tr -d '\r')" ] || fail "$programs is still there"
for key in "$chrome_key" "$firefox_key"; do
    printf '%s\n' "$out" | grep -qxF "removed $key" || fail "uninstall did not say it removed $key"
    [ -z "$(registered "$key")" ] || fail "$key is still there"
done
for browser in chrome firefox; do
    file=$(winepath -u "$local_app_data\\Vorn Smart Card Bridge\\NativeMessagingHosts\\$browser\\com.vorn.scard_bridge.json" | tr -d '\r')
    [ ! -e "$file" ] || fail "$file is still there"
done
out=$(run "$installer" doctor --no-pcsc --no-host) || true
printf '%s\n' "$out" | grep -qF "No browser can find the host" ||
    fail "after uninstall the doctor still finds a manifest: $out"
echo "windows installer test: passed"
