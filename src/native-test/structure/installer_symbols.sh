#!/bin/sh
# The installer links only what its run reaches: neither the Java VM start,
# the message server, the process runner nor the library's dynamic loading,
# and (a static Linux installer) no name-service look-up, whose modules a
# static program could only load from the build machine's C library. The C
# library's own static start-up keeps its internal loader (dlopen,
# __libc_dlopen_mode): that one is not ours to drop.
#   installer_symbols.sh <nm> <installer with symbols> [static]
set -eu
nm_tool=$1
binary=$2
[ -f "$binary" ] || { echo "no installer at $binary" >&2; exit 2; }
symbols=$("$nm_tool" "$binary" 2>/dev/null | awk 'NF >= 2 { print $NF }')
[ -n "$symbols" ] || { echo "$binary has no symbols: the unstripped file or its debugging file is needed" >&2; exit 2; }
echo "$symbols" | grep -q '^_*vek_lifecycleInit$' || { echo "no vek_lifecycleInit in $binary: wrong file?" >&2; exit 2; }
forbidden='^_*(JNI_CreateJavaVM|vek_startJavaVM|vek_loadFromExistingVM|vek_getJVMLibrary|vek_initialize_messaging|vek_startMessageServer|vek_sendMessage|vek_handle_message|vek_VmMessageProcessor|vek_initialize_process_runner|vek_startProcess|vek_execProcess|vek_initialize_process|vek_initialize_signals|vek_javaVMLogger|vek_cachingLogger|veklog_file_configureLog|vek_dsoOpen|vek_dsoSym)$'
if [ "${3:-}" = static ]; then
  forbidden="$forbidden|^_*(getpwuid_r|getpwnam_r|getpwuid|getpwnam|getgrgid_r|getgrnam_r|getgrgid|getgrnam|gethostbyname)$"
fi
found=$(echo "$symbols" | grep -E "$forbidden" | sort -u || true)
if [ -n "$found" ]; then
  echo "the installer links code its run never reaches:"
  echo "$found"
  exit 1
fi
echo "installer symbols as expected"
