#!/bin/sh
# The Windows installer under Wine, the way a person runs it from the folder it was
# installed to: `install` for Chrome and Firefox writes each manifest (pointing at
# vorn-scard-bridge.exe beside the installer) and the HKCU key that names it, the
# doctor reads both back and starts the host, `uninstall` removes keys and files.
#   tests/windows/installer_registry.sh INSTALLER.exe HOST.exe
set -eu
installer=$1
host=$2
test_name="windows installer test"
. "$(dirname "$0")/wine_prefix.sh"

# A Windows program's output without its carriage returns, and its exit status;
# never waits for long.
run() {
    status=0
    timeout 120 wine "$@" </dev/null >"$prefix/output" 2>&1 || status=$?
    tr -d '\r' <"$prefix/output"
    return $status
}

# Installed side by side, in a folder with spaces in its name.
folder="$prefix/drive_c/Program Files/Vorn Smart Card Bridge"
mkdir -p "$folder"
cp "$installer" "$folder/vorn-scard-bridge-installer.exe"
cp "$host" "$folder/vorn-scard-bridge.exe"
program="$folder/vorn-scard-bridge-installer.exe"
host_windows=$(winepath -w "$folder/vorn-scard-bridge.exe" | tr -d '\r')
local_app_data=$(run cmd /c echo %LOCALAPPDATA%)
chrome_id=abcdefghijklmnopabcdefghijklmnop
firefox_id=scard@example.org
chrome_key='HKCU\Software\Google\Chrome\NativeMessagingHosts\com.vorn.scard_bridge'
firefox_key='HKCU\Software\Mozilla\NativeMessagingHosts\com.vorn.scard_bridge'

# The manifest a key names (its default value), empty when there is no such key.
registered() {
    { run reg query "$1" /ve || true; } | sed -n 's/^ *(Default) *REG_SZ *//p'
}

echo "== install"
out=$(run "$program" install --browser chrome,firefox --extension-id "$chrome_id" \
    --firefox-id "$firefox_id") || fail "install failed: $out"
printf '%s\n' "$out"
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
out=$(run "$program" doctor --extension-id "$chrome_id" --firefox-id "$firefox_id") || true
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
out=$(run "$program" uninstall) || fail "uninstall failed: $out"
printf '%s\n' "$out"
for key in "$chrome_key" "$firefox_key"; do
    printf '%s\n' "$out" | grep -qxF "removed $key" || fail "uninstall did not say it removed $key"
    [ -z "$(registered "$key")" ] || fail "$key is still there"
done
for browser in chrome firefox; do
    file=$(winepath -u "$local_app_data\\Vorn Smart Card Bridge\\NativeMessagingHosts\\$browser\\com.vorn.scard_bridge.json" | tr -d '\r')
    [ ! -e "$file" ] || fail "$file is still there"
done
out=$(run "$program" doctor --no-pcsc --no-host) || true
printf '%s\n' "$out" | grep -qF "No browser can find the host" ||
    fail "after uninstall the doctor still finds a manifest: $out"
echo "windows installer test: passed"
