#!/bin/sh
# Import library for the 32-bit DLL.  The DLL exports stdcall functions under
# their plain names (Update_Canal); a C host declaring them stdcall links
# against _Update_Canal@4.  dlltool --kill-at makes an import library whose
# symbols carry the decoration while the import itself is by plain name.
#   win-implib.sh DLLTOOL DIR   (DIR holds Pesmo6.def as the linker wrote it)
set -eu
dlltool=$1
dir=$2
# "Name = Name@N @ordinal" -> "Name@N"
awk 'NR == 1 { print; next } { print "    " $3 }' "$dir/Pesmo6.def" > "$dir/Pesmo6-stdcall.def"
"$dlltool" --input-def "$dir/Pesmo6-stdcall.def" --dllname Pesmo6.dll --output-lib "$dir/libPesmo6.dll.a" --kill-at
rm -f "$dir/Pesmo6-stdcall.def"
