#!/usr/bin/env bash
# A run allocates the ODBC 3 environment before the box and frees it after.
# Wine's trace channels show the driver manager calls and the box.
set -u
exe=$1
here=$(dirname "$0")
trace=$(WINEDEBUG=+odbc,+msgbox "$here/../../scripts/winerun" "$exe" "x" "odbc trace" OK 1 2>&1)
rc=$?
order=$(printf '%s\n' "$trace" | grep -o -E 'SQLAllocEnv Returning 0|SQLSetEnvAttr \(EnvironmentHandle [0-9A-Fa-f]+, Attribute 200, Value (00000000)?00000003|MSGBOX_OnInit|SQLFreeEnv Returning 0' \
    | sed -E -e 's/ \(EnvironmentHandle [0-9A-Fa-f]+,/ (/' -e 's/Value 0+3/Value 00000003/' | tr '\n' ';')
want='SQLAllocEnv Returning 0;SQLSetEnvAttr ( Attribute 200, Value 00000003;MSGBOX_OnInit;SQLFreeEnv Returning 0;'
fail=0
[ "$order" = "$want" ] || { echo "order: $order"; echo "want:  $want"; fail=1; }
[ "$rc" -eq 2 ] || { echo "exit code $rc, want 2"; fail=1; }
[ $fail -eq 0 ] && echo "1 passed, 0 failed"
exit $fail
