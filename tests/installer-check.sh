#!/usr/bin/env bash
# Checks the Windows installer under wine, in a fresh prefix of its own: a
# silent per-user install puts the files, the uninstall entry, the PATH entry,
# the Explorer verbs and Send To where Windows looks for them; the verb's
# command line repairs a file whose path has spaces and non-ASCII letters; an
# upgrade over the previous version leaves one entry; a silent uninstall leaves
# no file and no key and PATH exactly as it was; an elevated install goes to
# all users; PATH kept whole; what stops a setup; the user's Send To entry. Called by package-check.sh.
#   tests/installer-check.sh BUILD SETUP VERSION SCRATCH
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1 setup=$2 version=$3 work=$4
examples="$here/../examples"

fail() { echo "installer-check: $*" >&2; exit 1; }
export WINEDEBUG=-all WINEPREFIX="$work/wine-installer" LC_ALL=C.UTF-8
trap 'wineserver -k > /dev/null 2>&1 || true' EXIT
wine cmd /c exit > /dev/null 2>&1 || true  # a fresh prefix

uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvane'
user_environment='HKCU\Environment'
machine_environment='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
verb_keys=('SystemFileAssociations\.fit' 'SystemFileAssociations\.fts' 'Directory')

# A value as "TYPE data" ("" for the default value), or nothing when it is
# missing. Asked up to three times: once in a package-check run, wine's reg
# answered a query for a value that was there with nothing.
reg_value() {
  local shown value=() attempt
  [ -z "$2" ] && value=(/ve) || value=(/v "$2")
  for attempt in 1 2 3; do
    shown=$(wine reg query "$1" "${value[@]}" 2>/dev/null) && break
    shown=""
    sleep 1
  done
  tr -d '\r' <<<"$shown" | sed -n 's/^    [^ ].*    \(REG_[A-Z_]*\)    /\1 /p' | head -1
}
has_key() { wine reg query "$1" > /dev/null 2>&1; }
# Runs the installer or the uninstaller and waits until every process of the
# prefix has ended: the uninstaller runs on from a copy of itself.
run_and_wait() {
  wine "$@" > /dev/null 2>&1 || fail "$* failed"
  wineserver -w
}
windows_to_unix() { winepath -u "$1" 2>/dev/null | tr -d '\r'; }

local_appdata=$(wine cmd /c echo '%LOCALAPPDATA%' | tr -d '\r')
dir="$local_appdata\\Programs\\Corvane"
unix_dir=$(windows_to_unix "$dir")
sendto=$(windows_to_unix "$(wine cmd /c echo '%APPDATA%' | tr -d '\r')\\Microsoft\\Windows\\SendTo")

# Everything a per-user install must have put in place, for `want_version`.
check_installed() {
  local want_version=$1 entries path
  for file in corvane.exe README.txt LICENSE.txt uninstall.exe; do
    [ -f "$unix_dir/$file" ] || fail "no $file in $dir"
  done
  [ "$(reg_value "HKCU\\$uninstall_key" DisplayName)" = "REG_SZ Corvane" ] || fail "no DisplayName"
  [ "$(reg_value "HKCU\\$uninstall_key" DisplayVersion)" = "REG_SZ $want_version" ] ||
    fail "DisplayVersion is $(reg_value "HKCU\\$uninstall_key" DisplayVersion), not $want_version"
  [ "$(reg_value "HKCU\\$uninstall_key" Publisher)" = "REG_SZ The Corvane developers" ] || fail "no Publisher"
  [ "$(reg_value "HKCU\\$uninstall_key" UninstallString)" = "REG_SZ \"$dir\\uninstall.exe\" /CURRENTUSER" ] ||
    fail "UninstallString: $(reg_value "HKCU\\$uninstall_key" UninstallString)"
  local size
  size=$(reg_value "HKCU\\$uninstall_key" EstimatedSize)
  [[ "$size" =~ ^REG_DWORD\ 0x[0-9a-f]+$ ]] && [ $((${size#REG_DWORD })) -gt 100 ] || fail "EstimatedSize: $size"
  # One entry in Apps & features, one on PATH.
  entries=$(wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    tr -d '\r' | grep -c '^    DisplayName    REG_SZ    Corvane$' || true)
  [ "$entries" -eq 1 ] || fail "$entries uninstall entries for Corvane"
  path=$(reg_value "$user_environment" Path)
  [ "$(tr ';' '\n' <<<"${path#* }" | grep -cxF "$dir")" -eq 1 ] || fail "PATH does not name $dir once: $path"
  for classes in "${verb_keys[@]}"; do
    local shell="HKCU\\Software\\Classes\\$classes\\shell"
    [ "$(reg_value "$shell\\Corvane.Repair" "")" = "REG_SZ Repair with Corvane" ] || fail "no Repair verb on $classes"
    [ "$(reg_value "$shell\\Corvane.Check" "")" = "REG_SZ Check with Corvane" ] || fail "no Check verb on $classes"
    [ "$(reg_value "$shell\\Corvane.Repair\\command" "")" = "REG_SZ \"$dir\\corvane.exe\" \"%1\"" ] ||
      fail "Repair command on $classes: $(reg_value "$shell\\Corvane.Repair\\command" "")"
    [ "$(reg_value "$shell\\Corvane.Check\\command" "")" = "REG_SZ \"$dir\\corvane.exe\" -check \"%1\"" ] ||
      fail "Check command on $classes: $(reg_value "$shell\\Corvane.Check\\command" "")"
  done
  [ -f "$sendto/Corvane.lnk" ] && [ -f "$sendto/Corvane (check only).lnk" ] || fail "no Send To entries in $sendto"
  # A new Command Prompt finds corvane on PATH.
  [ "$(wine cmd /c corvane --version 2>/dev/null | tr -d '\r' | head -1)" = "corvane $want_version" ] ||
    fail "corvane from PATH does not say $want_version"
}

# Nothing of the install is left: no file, no key, no Send To entry.
check_removed() {
  [ ! -e "$unix_dir" ] || fail "$dir is still there: $(ls -A "$unix_dir")"
  ! has_key "HKCU\\$uninstall_key" || fail "the uninstall key is still there"
  for classes in "${verb_keys[@]}"; do
    ! has_key "HKCU\\Software\\Classes\\$classes\\shell\\Corvane.Repair" || fail "the Repair verb on $classes stays"
    ! has_key "HKCU\\Software\\Classes\\$classes\\shell\\Corvane.Check" || fail "the Check verb on $classes stays"
  done
  ! has_key 'HKCU\Software\Classes\SystemFileAssociations\.fit' || fail "an empty .fit key stays"
  [ ! -e "$sendto/Corvane.lnk" ] && [ ! -e "$sendto/Corvane (check only).lnk" ] || fail "a Send To entry stays"
}

# Runs a verb's command as Explorer would, with %1 replaced by `target`.
x86_64-w64-mingw32-gcc -municode -O2 -o "$work/run_command_line.exe" "$here/run_command_line.c"
run_verb() {
  local command=$1 target=$2
  command=${command#REG_SZ }
  command=${command//%1/$target}
  wine "$work/run_command_line.exe" "$command" 2>&1 | tr -d '\r'
}

# 1. A silent per-user install into a prefix with no PATH of the user's own.
environment_before=$(wine reg query "$user_environment" | tr -d '\r')
run_and_wait "$setup" /S /CURRENTUSER
check_installed "$version"
echo "installed for the current user: files, uninstall entry, PATH, verbs, Send To"

# 2. The verbs on a file and a folder whose names hold spaces and non-ASCII
# letters; the folder as Explorer writes a quoted folder, with a trailing '\'.
night="$work/My Night ñ"
mkdir -p "$night"
cp "$examples/registax16.fit" "$night/Nébuleuse M42.fit"
cp "$examples/registax16.fit" "$night/Ω Centauri.fts"
windows_night="Z:${night//\//\\}"
report=$(run_verb "$(reg_value 'HKCU\Software\Classes\Directory\shell\Corvane.Check\command' "")" "$windows_night\\")
grep -qxF "$windows_night\\Ω Centauri.fts" <<<"$report" || fail "the Check verb on the folder: $report"
grep -qxF $'\tWould be repaired (nothing written: -check)' <<<"$report" || fail "the Check verb: $report"
cmp -s "$examples/registax16.fit" "$night/Ω Centauri.fts" || fail "the Check verb changed a file"
report=$(run_verb "$(reg_value 'HKCU\Software\Classes\SystemFileAssociations\.fit\shell\Corvane.Repair\command' "")" \
  "$windows_night\\Nébuleuse M42.fit")
grep -qxF $'\tOK' <<<"$report" || fail "the Repair verb: $report"
! cmp -s "$examples/registax16.fit" "$night/Nébuleuse M42.fit" || fail "the Repair verb left the file unchanged"
[ "$(ls -A "$night" | wc -l)" -eq 2 ] || fail "the verb left a file behind: $(ls -A "$night")"
echo "the verbs' command lines check a folder and repair a file named with spaces and non-ASCII letters"

# 3. A silent uninstall leaves nothing, and the user's environment as it was.
run_and_wait "$unix_dir/uninstall.exe" /S
check_removed
[ "$(wine reg query "$user_environment" | tr -d '\r')" = "$environment_before" ] || fail "the environment changed"
echo "uninstalled: no file, no key, the environment as before"

# 4. An upgrade from the previous version over a PATH of the user's own, of
# type REG_SZ, ending in ';' (not with an empty entry: wine's cmd stops its
# search at one). The previous version is the same script built with an
# older version number.
wine reg add "$user_environment" /v Path /t REG_SZ /d 'C:\Tools;C:\Astro Tools;' /f > /dev/null 2>&1
environment_before=$(wine reg query "$user_environment" | tr -d '\r')
script=$(ls "$build"/_CPack_Packages/*/NSIS/project.nsi 2>/dev/null | head -1)
[ -n "$script" ] || fail "no installer script under $build/_CPack_Packages: run make package first"
makensis -V1 -DVERSION=1.0.0 "-DOUTFILE=$work/corvane-1.0.0-setup.exe" "$script" > /dev/null
run_and_wait "$work/corvane-1.0.0-setup.exe" /S /CURRENTUSER
[ "$(reg_value "HKCU\\$uninstall_key" DisplayVersion)" = "REG_SZ 1.0.0" ] || fail "the previous version is not installed"
[ "$(reg_value "$user_environment" Path)" = "REG_SZ C:\\Tools;C:\\Astro Tools;$dir" ] ||
  fail "PATH after the first install: $(reg_value "$user_environment" Path)"
run_and_wait "$setup" /S /CURRENTUSER
check_installed "$version"
run_and_wait "$unix_dir/uninstall.exe" /S
check_removed
[ "$(wine reg query "$user_environment" | tr -d '\r')" = "$environment_before" ] ||
  fail "PATH after the uninstall: $(reg_value "$user_environment" Path)"
echo "upgraded in place from 1.0.0 (one entry), then uninstalled leaving PATH as it was"

# 5. Run elevated (wine's user is an administrator), it installs for all users.
machine_before=$(wine reg query "$machine_environment" /v Path | tr -d '\r')
run_and_wait "$setup" /S
program_files=$(windows_to_unix "$(wine cmd /c echo '%ProgramW6432%' | tr -d '\r')\\Corvane")
[ -f "$program_files/corvane.exe" ] || fail "no corvane.exe in Program Files"
[ "$(reg_value "HKLM\\$uninstall_key" DisplayVersion)" = "REG_SZ $version" ] || fail "no all-users uninstall entry"
! has_key "HKCU\\$uninstall_key" || fail "an all-users install wrote a per-user entry"
has_key 'HKLM\Software\Classes\SystemFileAssociations\.fts\shell\Corvane.Repair\command' || fail "no all-users verb"
reg_value "$machine_environment" Path | grep -qF ";C:\\Program Files\\Corvane" ||
  fail "the system PATH does not name Program Files\\Corvane"
run_and_wait "$program_files/uninstall.exe" /S
[ ! -e "$program_files" ] && ! has_key "HKLM\\$uninstall_key" || fail "the all-users uninstall left something"
[ "$(wine reg query "$machine_environment" /v Path | tr -d '\r')" = "$machine_before" ] || fail "the system PATH changed"
echo "installed and uninstalled for all users when elevated"

# A silent setup or uninstall that must stop with exit status STATUS and a line holding WORDS.
check_refused() {  # STATUS WORDS PROGRAM ARGUMENTS...
  local want=$1 words=$2 said status=0
  shift 2
  said=$(wine "$@" 2>&1 > /dev/null | tr -d '\r') || status=$?
  [ "$status" -eq "$want" ] && grep -qF "$words" <<<"$said" || fail "$* gave $status, not $want, and said: $said"
}
old_setup="$work/corvane-1.0.0-setup.exe"

# 6. PATH of any length and type, per user and for all, through install, upgrade, uninstall (NSIS stops at 1024).
machine_dir="$(wine cmd /c echo '%ProgramW6432%' | tr -d '\r')\\Corvane"
for row in "1023 REG_SZ CURRENTUSER" "1024 REG_EXPAND_SZ CURRENTUSER" "4000 REG_SZ ALLUSERS" \
  "4000 REG_EXPAND_SZ CURRENTUSER" "32000 REG_EXPAND_SZ ALLUSERS" "32000 REG_SZ CURRENTUSER" \
  "1023 REG_EXPAND_SZ ALLUSERS" "1024 REG_SZ ALLUSERS"; do
  read -r length type scope <<<"$row"
  key=$user_environment folder=$dir
  [ "$scope" = ALLUSERS ] && key=$machine_environment folder=$machine_dir
  before=$(reg_value "$key" Path)
  value=${before#* } n=0
  while [ ${#value} -lt "$length" ]; do value+="${value:+;}C:\\Astro Tools\\Tool $((n++))"; done
  value=${value:0:$length}
  [[ $value == *\\ ]] && value=${value%?}x  # a closing backslash would take the quote after it
  wine reg add "$key" /v Path /t "$type" /d "$value" /f > /dev/null 2>&1
  appended=";$folder"
  [[ $value == *\; ]] && appended=$folder
  for installer in "$old_setup" "$setup"; do
    run_and_wait "$installer" /S "/$scope"
    [ "$(reg_value "$key" Path)" = "$type $value$appended" ] || fail "$length-character $type PATH after $installer"
  done
  run_and_wait "$(windows_to_unix "$folder")/uninstall.exe" /S "/$scope"
  [ "$(reg_value "$key" Path)" = "$type $value" ] || fail "$length-character $type PATH after the uninstall"
  { [ -n "$before" ] && wine reg add "$key" /v Path /t "${before%% *}" /d "${before#* }" /f; } > /dev/null 2>&1 ||
    wine reg delete "$key" /v Path /f > /dev/null 2>&1
done
echo "PATH of 1023, 1024, 4000 and 32000 characters kept byte for byte through install, upgrade and uninstall"

# 7. A running (here suspended) corvane.exe stops a silent upgrade and uninstall. 8. So does an install for
# all users over one for the user alone; asking for nothing upgrades that install.
run_and_wait "$old_setup" /S /CURRENTUSER
wine "$work/run_command_line.exe" "\"$dir\\corvane.exe\"" "$(winepath -w "$work/release")" > /dev/null 2>&1 &
sleep 2
check_refused 32 "Corvane is running" "$setup" /S /CURRENTUSER
check_refused 32 "Corvane is running" "$unix_dir/uninstall.exe" /S "_?=$dir"
touch "$work/release"
wait
check_refused 183 "installed for you alone already" "$setup" /S /ALLUSERS
[ "$(reg_value "HKCU\\$uninstall_key" DisplayVersion)" = "REG_SZ 1.0.0" ] || fail "a refused setup changed the entry"
run_and_wait "$setup" /S
check_installed "$version"
! has_key "HKLM\\$uninstall_key" || fail "a second install was made for all users"
echo "a running Corvane or an install of the other kind stops a silent setup with a reason; asking for nothing upgrades"

# 9. A Send To entry of the user's own (for a copy from the zip in C:\Tools) is neither overwritten nor removed.
run_and_wait "$unix_dir/uninstall.exe" /S
run_and_wait "$old_setup" /S /CURRENTUSER "/D=C:\\Tools"
cp "$sendto/Corvane.lnk" "$work/own.lnk"
run_and_wait "$(windows_to_unix 'C:\Tools')/uninstall.exe" /S
cp "$work/own.lnk" "$sendto/Corvane.lnk"
for installer in "$setup" "$unix_dir/uninstall.exe"; do
  run_and_wait "$installer" /S /CURRENTUSER
  cmp -s "$work/own.lnk" "$sendto/Corvane.lnk" || fail "$installer changed the user's Send To entry"
done
[ ! -e "$sendto/Corvane (check only).lnk" ] || fail "the check-only Send To entry stays"
echo "a Send To entry of the user's own is left as it is"
