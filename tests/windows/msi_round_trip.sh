#!/bin/sh
# The MSIs under Wine, as a person installs and removes them: `msiexec /i` with the
# extension ids as properties puts the programs in the per-user programs folder and
# registers the host for Chrome, Chromium, Edge, Brave and Firefox (keys and manifests
# read back here), the doctor finds everything, `msiexec /x` leaves no key, file or
# folder behind but the host's logs. Without ids the package refuses to install. The per-machine package
# does the same below %ProgramFiles%, %ProgramData% and HKLM.
#   tests/windows/msi_round_trip.sh USER_MSI [MACHINE_MSI]
set -eu
user_msi=$1
machine_msi=${2:-}
test_name="windows MSI test"
. "$(dirname "$0")/wine_prefix.sh"

unix_path() { winepath -u "$1" | tr -d '\r'; }

chrome_id=abcdefghijklmnopabcdefghijklmnop
firefox_id=scard@example.org
name='NativeMessagingHosts\com.vorn.scard_bridge'
# For each browser's key below HKCU or HKLM that is there, a line "<key below Software>
# <manifest it names>"; one Wine start for all (each takes a while).
registrations() {
    queries=""
    for key in Google\\Chrome Chromium Microsoft\\Edge BraveSoftware\\Brave-Browser Mozilla; do
        queries="$queries & reg query $1\\Software\\$key\\$name /ve"
    done
    { run cmd /c "${queries# & }" || true; } | awk '
        /^HKEY_/ { browser = $0; sub(/^HKEY_[A-Z_]*\\Software\\/, "", browser)
                   sub(/\\NativeMessagingHosts.*/, "", browser); next }
        /^ *\(Default\) *REG_SZ/ { sub(/^ *\(Default\) *REG_SZ */, ""); found[browser] = $0 }
        END { for (b in found) print b, found[b] }' | sort
}
# install_and_remove MSI HIVE PROGRAMS_FOLDER DATA_FOLDER SCOPE_OPTION
install_and_remove() {
    msi=$1 hive=$2 programs=$3 data=$4 scope=$5
    echo "== $(basename "$msi"): install without ids"
    run msiexec /i "$msi" /qn >/dev/null && fail "installed without an extension id"
    [ ! -e "$(unix_path "$programs")" ] || fail "a refused install left $programs"

    echo "== $(basename "$msi"): install"
    out=$(run msiexec /i "$msi" /qn "EXTENSION_IDS=$chrome_id" "FIREFOX_IDS=$firefox_id") ||
        fail "msiexec /i failed: $out"
    host="$programs\\vorn-scard-bridge.exe"
    for file in vorn-scard-bridge.exe vorn-scard-bridge-installer.exe README.txt; do
        [ -f "$(unix_path "$programs\\$file")" ] || fail "$file is not in $programs"
    done
    escaped=$(printf '%s' "$host" | sed 's/\\/\\\\/g')
    found=$(registrations "$hive")
    [ "$(printf '%s\n' "$found" | wc -l)" = 5 ] || fail "not five browsers' keys: $found"
    while read -r browser manifest; do
        case $manifest in
            "$data\\NativeMessagingHosts\\"*) ;;
            *) fail "the $browser key names $manifest" ;;
        esac
        file=$(unix_path "$manifest")
        grep -qF "\"path\": \"$escaped\"" "$file" || fail "$manifest does not name $host: $(cat "$file")"
        case $browser in Mozilla) allowed=$firefox_id ;; *) allowed="chrome-extension://$chrome_id/" ;; esac
        grep -qF "\"$allowed\"" "$file" || fail "$manifest does not allow $allowed"
    done <<EOF
$found
EOF

    echo "== $(basename "$msi"): doctor"
    # The smart-card service is left out: the package's part ends at the host.
    out=$(run "$(unix_path "$programs\\vorn-scard-bridge-installer.exe")" doctor "$scope" --no-pcsc \
        --extension-id "$chrome_id" --firefox-id "$firefox_id") || fail "the doctor found problems: $out"
    for title in "Google Chrome" "Chromium" "Microsoft Edge" "Brave" "Mozilla Firefox"; do
        printf '%s\n' "$out" | grep -qF "[ ok ] $title (${scope#--}): " ||
            fail "the doctor did not find the $title manifest: $out"
    done
    printf '%s\n' "$out" | grep -qF "[ ok ] host $host: healthcheck round trip works" ||
        fail "the doctor did not reach the installed host: $out"

    echo "== $(basename "$msi"): uninstall"
    out=$(run msiexec /x "$msi" /qn) || fail "msiexec /x failed: $out"
    found=$(registrations "$hive")
    [ -z "$found" ] || fail "keys left: $found"
    left=$(unix_path "$programs")
    [ ! -e "$left" ] || fail "$programs is still there: $(find "$left")"
    # The host's logs (from the doctor's run) are the user's to delete; nothing else stays.
    left=$(unix_path "$data")
    if [ -e "$left" ]; then
        [ "$(ls -A "$left")" = Logs ] || fail "$data is still there: $(find "$left")"
    fi
}

local_app_data=$(run cmd /c echo %LOCALAPPDATA%)
install_and_remove "$user_msi" HKCU "$local_app_data\\Programs\\Vorn Smart Card Bridge" \
    "$local_app_data\\Vorn Smart Card Bridge" --user
if [ -n "$machine_msi" ]; then
    program_files=$(run cmd /c echo %ProgramFiles%)
    program_data=$(run cmd /c echo %ProgramData%)
    install_and_remove "$machine_msi" HKLM "$program_files\\Vorn Smart Card Bridge" \
        "$program_data\\Vorn Smart Card Bridge" --system
fi
echo "windows MSI test: passed"
