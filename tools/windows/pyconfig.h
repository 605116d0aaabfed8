/* The interpreter's configuration for building extensions for the official CPython for
   Windows x64 (python.org's, MSVC-built, UCRT), with a MinGW-flavoured clang (zig's
   x86_64-windows-gnu): what python.org's own PC/pyconfig.h says of that build and that the
   common headers read, and nothing of MSVC itself. Windows is LLP64: long is 4 bytes, wchar_t
   2. scripts/windows.sh puts this file beside the common headers of the same minor version;
   tests/test_windows.py checks its facts against the interpreter it is built for. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#define PLATFORM "win32"

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T SIZEOF_INT
#define SIZEOF_HKEY 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define ALIGNOF_MAX_ALIGN_T 8
#define HAVE_PY_SSIZE_T 1
typedef long long Py_ssize_t;
#define PY_SSIZE_T_MAX 9223372036854775807LL

#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_DIRECT_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_IO_H 1
#define HAVE_PROCESS_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRFTIME 1
#define HAVE_CLOCK 1
#define HAVE_DYNAMIC_LOADING 1
#define DONT_HAVE_SIG_ALARM
#define DONT_HAVE_SIG_PAUSE
#define LONG_BIT 32
#define WORD_BIT 32
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1
#define PY_HAVE_THREAD_NATIVE_ID 1

#endif /* Py_CONFIG_H */
