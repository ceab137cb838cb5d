/* Build configuration of the 64-bit Windows CPython (python.org's builds, a
 * python3XX.dll), for compiling extension modules against it with MinGW-w64
 * on Linux: scripts/test-windows.sh puts this file in front of the same
 * minor version's other Python headers. It says only what an extension
 * module sees of that build: the platform, the type sizes of the LLP64 data
 * model, and that the interpreter is a DLL whose API is imported. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__MINGW64__)
#error "this pyconfig.h describes 64-bit Windows CPython, for MinGW-w64 builds"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"
#define Py_WINVER 0x0602

/* The interpreter is python3XX.dll: its functions and data are imported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: long stays 32 bits; pointers, size_t and long long are 64. */
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
#define SIZEOF_HKEY 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define HAVE_WCHAR_H 1
#define Py_UNICODE_SIZE 2
#define HAVE_LARGEFILE_SUPPORT

/* Present in the Windows C runtime. */
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_CLOCK 1
#define HAVE_STRFTIME 1
#define HAVE_HYPOT 1
#define HAVE_COPYSIGN 1
#define HAVE_ROUND 1
#define HAVE_ERF 1
#define HAVE_ERFC 1
#define HAVE_STDARG_PROTOTYPES
#define HAVE_DYNAMIC_LOADING
#define HAVE_PROTOTYPES
#define DONT_HAVE_SIG_ALARM
#define DONT_HAVE_SIG_PAUSE
#define LONG_BIT 32
#define WORD_BIT 32

/* Absent on Windows: no unistd.h functions, no fork, no POSIX threads in
 * the interpreter (its threads are Windows threads, NT_THREADS above). */
#undef HAVE_UNISTD_H
#undef HAVE_FORK
#undef HAVE_PTHREAD_H
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1

#endif /* Py_CONFIG_H */
