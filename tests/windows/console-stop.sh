#!/usr/bin/env bash
# ravenox-engine stopped with Ctrl+C: Wine hands a program whose console is a terminal the
# terminal's interrupt (SIGINT) as CTRL_C_EVENT. The engine runs beside the tests' Outlook, then
# says it stops, saves its state files and settings, and exits 0.
#   console-stop.sh <ravenox-engine.exe> <outlook_server.exe>
set -euo pipefail
engine=$1 server=$2
root="$(cd "$(dirname "$0")/../.." && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$root/scripts/wine-run" cmd /c exit 0  # the prefix, made once, and its server
export WINEPREFIX="${WINEPREFIX:-$root/build/wine}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

key='HKCU\Software\Brindlemoor\Ravenox'
reg() { wine reg add "$key" /f /v "$1" /t "$2" /d "$3" >/dev/null; }
reg Version REG_SZ 01.01.00.001
for v in MeetingNotify MorningNotify EveningNotify TaskNotify TaskPreNotify TaskReminder \
         UrgentEmail Top Left TaskRemindPeriod; do reg "$v" REG_DWORD 0; done
reg Pin REG_SZ 5551234567
reg Service REG_DWORD 4
reg CustomAddr REG_SZ ""
reg CustomEmail REG_SZ ""

data="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Brindlemoor/Ravenox"
rm -rf "$data"
wine "$server" "$(winepath -w "$work/sent.log")" --active --lifetime 120 \
  --until "$(winepath -w "$work/done")" >/dev/null 2>&1 &
server_pid=$!
for _ in $(seq 200); do [ -s "$work/sent.log" ] && break; sleep 0.1; done

wine "$engine" >"$work/out" 2>&1 &
pid=$!
for _ in $(seq 300); do grep -q "Processor Idle" "$work/out" && break; sleep 0.1; done
kill -INT "$pid"
status=0
wait "$pid" || status=$?
cat "$work/out"
touch "$work/done"
wait "$server_pid" || true
fail() { echo "console-stop: $*" >&2; exit 1; }
[ "$status" -eq 0 ] || fail "exit status $status, not 0"
grep -q "  Stopping" "$work/out" || fail "no 'Stopping'"
grep -q "  Stopped" "$work/out" || fail "no 'Stopped'"
for f in NOTIFY.CLD TASK.CLD EMAIL.CLD; do [ -f "$data/$f" ] || fail "$f was not saved"; done
echo "console-stop: stopped in order"
