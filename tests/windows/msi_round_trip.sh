#!/bin/sh
# The MSIs under Wine through their life on a computer: installed by double-click (no
# properties: the ids built into the package), repaired, upgraded to the next version,
# replaced by another build of that version, removed. After each step the programs,
# the five browsers' keys (for HKLM in both registry views) and the manifests they name
# (pointing at the installed host, allowing exactly the expected ids), and the entry in
# Apps (one, with its version and texts) are read back; after removal no key, file or
# folder of ours is left but the host's logs. (Not the undoing of the registration
# when an installation fails: Wine runs the rollback script out of Windows' reverse
# order, removing the installed programs before the action that undoes the
# registration could run them.)
#   - per user (HKCU): installed with no properties, so the example extension's ids,
#     which CI builds into the packages, are registered throughout;
#   - per machine (HKLM): installed with ids given on the command line over a stale
#     32-bit key; Repair and the upgrades, given nothing, keep the given ids (a given
#     Chrome id replaces the built-in one; the Firefox id, not given, stays built in).
#   tests/windows/msi_round_trip.sh WINDOWS_BUILD
# WINDOWS_BUILD has the vorn-scard-bridge-msi and vorn-scard-bridge-msi-tests targets built.
set -eu
build=$(cd "$1" && pwd)
test_name="windows MSI test"
. "$(dirname "$0")/wine_prefix.sh"

unix_path() { winepath -u "$1" | tr -d '\r'; }

# The example extension's (examples/extension): CI builds them into the packages.
built_chrome_id=khdljmibjcolepppeikajgmbfeenoldp
built_firefox_id=scard-example@vorn.example
given_chrome_id=abcdefghijklmnopabcdefghijklmnop
name='NativeMessagingHosts\com.vorn.scard_bridge'
browsers='Google\Chrome Chromium Microsoft\Edge BraveSoftware\Brave-Browser Mozilla'
uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall'

# Runs the commands given as arguments in one Wine start (each takes a while).
batch() {
    commands=""
    for command in "$@"; do commands="$commands & $command"; done
    run cmd /c "${commands# & }" || true
}
# What the checks read, in one Wine start: the browsers' keys below $hive in each
# registry view, our entries in Apps, and our own key.
snapshot() {
    set --
    for view in 64 32; do
        set -- "$@" "echo view $view"
        for key in $browsers; do set -- "$@" "reg query $hive\\Software\\$key\\$name /ve /reg:$view"; done
    done
    set -- "$@" "echo apps" "reg query HKLM\\$uninstall_key /s /reg:64" "reg query HKCU\\$uninstall_key /s" \
        "echo own key" "reg query $hive\\Software\\Vorn /s /reg:64"
    batch "$@" >"$prefix/snapshot"
}
# The lines below a heading of the snapshot (cmd's echo keeps the space before "&").
section() {
    awk -v name="$1" '{ line = $0; sub(/ +$/, "", line) }
        line ~ /^(view [0-9]+|apps|own key)$/ { on = line == name; next } on' "$prefix/snapshot"
}
# For each browser's key that is there in the registry view VIEW (32 or 64), a line
# "<key below Software> <manifest it names>".
registrations() {
    section "view $1" | awk '
        /^HKEY_/ { browser = $0; sub(/^HKEY_[A-Z_]*\\Software\\/, "", browser)
                   sub(/\\NativeMessagingHosts.*/, "", browser); next }
        /^ *\(Default\) *REG_SZ/ { sub(/^ *\(Default\) *REG_SZ */, ""); found[browser] = $0 }
        END { for (b in found) print b, found[b] }' | sort
}
# Our entries in Apps, one line each: "<version>|<install location>|<about link>|<comments>"
# (Wine lists per-user products below HKLM too).
products() {
    section apps | awk '
        function flush() { if (values["DisplayName"] == "Vorn Smart Card Bridge")
                               print values["DisplayVersion"] "|" values["InstallLocation"] "|" \
                                     values["URLInfoAbout"] "|" values["Comments"]
                           split("", values) }
        /^HKEY_/ { flush(); next }
        /^    [A-Za-z]+ +REG_/ { value = $0; sub(/^ *[A-Za-z]+ +REG_[A-Z_]+ */, "", value)
                                 values[$1] = value }
        END { flush() }'
}

# installed STEP VERSION: the state after a step that leaves VERSION installed.
installed() {
    step=$1 expected=$2
    for file in vorn-scard-bridge.exe vorn-scard-bridge-installer.exe README.txt; do
        [ -f "$(unix_path "$programs\\$file")" ] || fail "$step: $file is not in $programs"
    done
    escaped=$(printf '%s' "$programs\\vorn-scard-bridge.exe" | sed 's/\\/\\\\/g')
    snapshot
    found=$(registrations 64)
    [ "$(registrations 32)" = "$found" ] ||
        fail "$step: the 32-bit view differs from the 64-bit one: $(registrations 32)"
    [ "$(printf '%s\n' "$found" | wc -l)" = 5 ] || fail "$step: not five browsers' keys: $found"
    while read -r browser manifest; do
        case $manifest in
            "$data\\NativeMessagingHosts\\"*) ;;
            *) fail "$step: the $browser key names $manifest" ;;
        esac
        file=$(unix_path "$manifest")
        grep -qF "\"path\": \"$escaped\"" "$file" || fail "$step: $manifest does not name the host: $(cat "$file")"
        case $browser in
            Mozilla) allowed="\"allowed_extensions\": [\"$firefox_id\"]" ;;
            *) allowed="\"allowed_origins\": [\"chrome-extension://$chrome_id/\"]" ;;
        esac
        grep -qxF "  $allowed" "$file" || fail "$step: $manifest does not allow exactly $allowed: $(cat "$file")"
    done <<EOF
$found
EOF
    found=$(products)
    case $found in
        *"
"*) fail "$step: Apps lists more than one Vorn Smart Card Bridge: $found" ;;
        "$expected|$programs\\||"?*) ;;
        *) fail "$step: Apps does not list Vorn Smart Card Bridge $expected in $programs with a comment and no link: $found" ;;
    esac
    echo "$step: $expected installed and registered"
}

# round_trip SCOPE HIVE PROGRAMS_FOLDER DATA_FOLDER [PROPERTIES...]
round_trip() {
    scope=$1 hive=$2 programs=$3 data=$4
    shift 4
    if [ "$scope" = user ]; then scope_option=--user; else scope_option=--system; fi
    suffix=""
    [ "$scope" = user ] || suffix=-$scope
    package=$(ls "$build"/vorn-scard-bridge-*-win64$suffix.msi)
    version=$(basename "$package" | sed 's/^vorn-scard-bridge-\(.*\)-win64.*/\1/')
    next=$build/msi-tests/vorn-scard-bridge-win64$suffix-next.msi
    rebuild=$build/msi-tests/vorn-scard-bridge-win64$suffix-rebuild.msi
    next_version=$(echo "$version" | awk -F. '{ print $1 "." $2 "." $3 + 1 }')

    out=$(run msiexec /i "$package" /qn "$@") ||
        fail "$scope: msiexec /i $* failed (is the package built with the example extension's ids?): $out"
    installed "$scope: install ${*:-with no properties}" "$version"

    # The installed doctor finds the manifests (as the browsers do) and the host.
    out=$(run "$(unix_path "$programs\\vorn-scard-bridge-installer.exe")" doctor "$scope_option" --no-pcsc \
        --extension-id "$chrome_id" --firefox-id "$firefox_id") || fail "the doctor found problems: $out"
    printf '%s\n' "$out" | grep -qF "[ ok ] host $programs\\vorn-scard-bridge.exe: healthcheck round trip works" ||
        fail "$scope: the doctor did not reach the installed host: $out"

    # Repair brings back what went missing, with the same ids and nothing given.
    chrome_key="$hive\\Software\\Google\\Chrome\\$name"
    batch "reg delete $chrome_key /f /reg:32" "reg delete $chrome_key /f /reg:64" >/dev/null
    rm "$(unix_path "$data\\NativeMessagingHosts\\firefox\\com.vorn.scard_bridge.json")"
    out=$(run msiexec /i "$package" /qn REINSTALL=ALL) || fail "$scope: repair failed: $out"
    installed "$scope: repair" "$version"

    out=$(run msiexec /i "$next" /qn) || fail "$scope: upgrade failed: $out"
    installed "$scope: upgrade" "$next_version"
    out=$(run msiexec /i "$rebuild" /qn) || fail "$scope: another build of $next_version failed: $out"
    installed "$scope: another build of the same version" "$next_version"

    out=$(run msiexec /x "$rebuild" /qn) || fail "$scope: msiexec /x failed: $out"
    nothing_left "$scope: removal"
    echo "$scope: removed"
}

# nothing_left STEP: the state after the removal of the package.
nothing_left() {
    snapshot
    found=$(registrations 64; registrations 32)
    [ -z "$found" ] || fail "$1: keys left: $found"
    [ -z "$(products)" ] || fail "$1: still in Apps: $(products)"
    left=$(section "own key" | grep '^HKEY_' || true)
    [ -z "$left" ] || fail "$1: our key is left: $left"
    left=$(unix_path "$programs")
    [ ! -e "$left" ] || fail "$1: $programs is still there: $(find "$left")"
    # The host's logs (from the doctor's run) are the user's to delete; nothing else stays.
    left=$(unix_path "$data")
    if [ -e "$left" ]; then
        [ "$(ls -A "$left")" = Logs ] || fail "$1: $data is still there: $(find "$left")"
    fi
}

started=$(date +%s)
local_app_data=$(run cmd /c echo %LOCALAPPDATA%)
chrome_id=$built_chrome_id firefox_id=$built_firefox_id
round_trip user HKCU "$local_app_data\\Programs\\Vorn Smart Card Bridge" \
    "$local_app_data\\Vorn Smart Card Bridge"

program_files=$(run cmd /c echo %ProgramFiles%)
program_data=$(run cmd /c echo %ProgramData%)
# A key left in the 32-bit view, which the browsers read first, by someone else's setup.
batch "reg add HKLM\\Software\\Google\\Chrome\\$name /ve /d C:\\stale.json /f /reg:32" >/dev/null
chrome_id=$given_chrome_id firefox_id=$built_firefox_id
round_trip machine HKLM "$program_files\\Vorn Smart Card Bridge" "$program_data\\Vorn Smart Card Bridge" \
    "EXTENSION_IDS=$given_chrome_id"
echo "windows MSI test: passed in $(($(date +%s) - started)) s"
