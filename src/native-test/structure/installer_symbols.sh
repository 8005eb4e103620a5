#!/bin/sh
# The installer links only what its run reaches: neither the Java VM start,
# the message server nor the process runner, and (a static Linux installer)
# no dynamic loading or name-service look-up of the C library.
#   installer_symbols.sh <nm> <installer with symbols> [static]
set -eu
nm_tool=$1
binary=$2
[ -f "$binary" ] || { echo "no installer at $binary" >&2; exit 2; }
symbols=$("$nm_tool" "$binary" 2>/dev/null | awk 'NF >= 2 { print $NF }')
[ -n "$symbols" ] || { echo "$binary has no symbols: the unstripped file or its debugging file is needed" >&2; exit 2; }
echo "$symbols" | grep -q '^_*vek_lifecycleInit$' || { echo "no vek_lifecycleInit in $binary: wrong file?" >&2; exit 2; }
forbidden='^_*(JNI_CreateJavaVM|vek_startJavaVM|vek_loadFromExistingVM|vek_getJVMLibrary|vek_initialize_messaging|vek_startMessageServer|vek_sendMessage|vek_handle_message|vek_VmMessageProcessor|vek_initialize_process_runner|vek_startProcess|vek_execProcess|vek_initialize_process|vek_initialize_signals|vek_javaVMLogger|vek_cachingLogger|veklog_file_configureLog)$'
if [ "${3:-}" = static ]; then
  forbidden="$forbidden|^_*(dlopen|__libc_dlopen_mode|getpwuid_r|getpwnam_r|getgrgid_r|getgrnam_r|gethostbyname)$"
fi
found=$(echo "$symbols" | grep -E "$forbidden" | sort -u || true)
if [ -n "$found" ]; then
  echo "the installer links code its run never reaches:"
  echo "$found"
  exit 1
fi
echo "installer symbols as expected"
