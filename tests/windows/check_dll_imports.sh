#!/usr/bin/env bash
# Checks that a built velkor_index.dll needs nothing but Windows' own DLLs:
# no GCC runtime, C++ library or thread library may have to sit beside it.
#
#   check_dll_imports.sh OBJDUMP DLL
set -euo pipefail
objdump=$1
dll=$2

imports=$("$objdump" -p "$dll" | awk '/DLL Name:/ {print $3}')
if [ -z "$imports" ]; then
  echo "no import table found in $dll"
  exit 1
fi
status=0
while read -r name; do
  case "${name,,}" in
    kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
    *)
      echo "imports a DLL that Windows does not ship: $name"
      status=1
      ;;
  esac
done <<<"$imports"
[ $status -eq 0 ] && echo "imports: $(echo $imports)"
exit $status
