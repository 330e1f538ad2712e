/* Compatible fallbacks for the functions that MariaDB's Connector/C calls and that Windows
 * Server 2003 and XP lack, so that the client library we ship loads there.
 *
 * scripts/lib/libmariadb.sh compiles every C file of the client library with
 * "-include WindowsFloor.h" and _WIN32_WINNT=0x0502. Below that floor the Windows headers do
 * not declare the newer functions; this header declares a replacement for each and renames
 * the library's calls to it, so that the import table names none of them:
 *
 *   GetTickCount64        kernel32's own where present, else GetTickCount widened to 64 bits
 *   InitOnceExecuteOnce   a one-time initialisation over an atomic state word
 *   IsThreadAFiber        kernel32's own where present, else the fiber data's marker
 *   CancelIoEx            kernel32's own where present, else CancelIo (the calling thread's
 *                         I/O only: the library calls it after its own timed-out read, which
 *                         is the calling thread's, and after shutdown() of a socket, which
 *                         already ends the other threads' waits)
 *   strncpy_s, strtok_s,  msvcrt.dll of that generation predates the "_s" functions;
 *   vsnprintf_s,          these follow their documented behaviour over the older functions
 *   _vsnprintf_s
 *
 * The headers come first so that their declarations keep their own names. */
#ifndef QBNOTIFY_WINDOWS_FLOOR_H
#define QBNOTIFY_WINDOWS_FLOOR_H

#if defined(_WIN32) && defined(_WIN32_WINNT) && _WIN32_WINNT < 0x0600

#include <winsock2.h>
#include <windows.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#ifndef _TRUNCATE
#define _TRUNCATE ((size_t)-1)
#endif
#ifndef STRUNCATE
#define STRUNCATE 80
#endif

/* The kernel32 function `name`, or NULL where this Windows lacks it. */
static __inline FARPROC qb_floor_kernel32(const char *name)
{
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  return kernel32 ? GetProcAddress(kernel32, name) : NULL;
}

/* --- GetTickCount64 ---------------------------------------------------------------------
 * The 32-bit count wraps after 49.7 days. The last value seen and the number of wraps share
 * one 64-bit word, updated atomically: a value that is slightly behind the stored one (another
 * thread read the clock a moment later and stored first) is not a wrap and answers the stored
 * value, so the result never goes backwards. */
typedef ULONGLONG (WINAPI *qb_floor_tick64_fn)(void);

static __inline ULONGLONG qb_floor_widen_tick(volatile ULONGLONG *state, DWORD now)
{
  for (;;) {
    ULONGLONG seen = *state;
    DWORD last = (DWORD)seen;
    ULONGLONG wraps = seen >> 32;
    ULONGLONG next;
    if (now < last) {
      if (last - now < 0x80000000u) return seen; /* behind another thread's reading */
      ++wraps;
    }
    next = (wraps << 32) | now;
    if (__sync_val_compare_and_swap(state, seen, next) == seen) return next;
  }
}

static __inline ULONGLONG qb_floor_GetTickCount64(void)
{
  static volatile ULONGLONG state;
  qb_floor_tick64_fn own = (qb_floor_tick64_fn)(void (*)(void))qb_floor_kernel32("GetTickCount64");
  if (own) return own();
  return qb_floor_widen_tick(&state, GetTickCount());
}
#define GetTickCount64 qb_floor_GetTickCount64

/* --- InitOnceExecuteOnce ----------------------------------------------------------------
 * The INIT_ONCE word holds 0 (not done), 1 (running) or 2 (done). One caller runs the
 * function while the others wait for it; a function that fails leaves the word at 0, so a
 * later call tries again, as with the system's own. */
static __inline BOOL qb_floor_InitOnceExecuteOnce(PINIT_ONCE once, PINIT_ONCE_FN function, PVOID parameter,
                                                  LPVOID *context)
{
  for (;;) {
    PVOID seen = __sync_val_compare_and_swap(&once->Ptr, (PVOID)0, (PVOID)1);
    if (seen == (PVOID)2) {
      if (context) *context = NULL;
      return TRUE;
    }
    if (seen == (PVOID)0) {
      BOOL ok = function(once, parameter, context);
      __sync_synchronize();
      once->Ptr = ok ? (PVOID)2 : (PVOID)0;
      __sync_synchronize();
      return ok;
    }
    Sleep(1); /* another thread is running the function */
  }
}
#define InitOnceExecuteOnce qb_floor_InitOnceExecuteOnce

/* --- IsThreadAFiber ---------------------------------------------------------------------
 * On a thread that is not a fiber the fiber-data slot holds 0 or the marker 0x1E00.
 * GetCurrentFiber reads the thread's environment block at a fixed offset, which GCC 12 takes
 * for an access outside a zero-length array. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
typedef BOOL (WINAPI *qb_floor_is_fiber_fn)(void);

static __inline BOOL qb_floor_IsThreadAFiber(void)
{
  qb_floor_is_fiber_fn own = (qb_floor_is_fiber_fn)(void (*)(void))qb_floor_kernel32("IsThreadAFiber");
  PVOID fiber;
  if (own) return own();
  fiber = GetCurrentFiber();
  return fiber != NULL && fiber != (PVOID)(ULONG_PTR)0x1E00;
}
#pragma GCC diagnostic pop
#define IsThreadAFiber qb_floor_IsThreadAFiber

/* --- CancelIoEx -------------------------------------------------------------------------- */
typedef BOOL (WINAPI *qb_floor_cancel_fn)(HANDLE, LPOVERLAPPED);

static __inline BOOL qb_floor_CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped)
{
  qb_floor_cancel_fn own = (qb_floor_cancel_fn)(void (*)(void))qb_floor_kernel32("CancelIoEx");
  if (own) return own(handle, overlapped);
  return CancelIo(handle);
}
#define CancelIoEx qb_floor_CancelIoEx

/* --- The "_s" functions of the C runtime ------------------------------------------------- */

/* strtok_r's behaviour: `*next` carries the position between calls. */
static __inline char *qb_floor_strtok_s(char *text, const char *delimiters, char **next)
{
  char *token;
  if (!text) text = *next;
  if (!text) return NULL;
  text += strspn(text, delimiters);
  if (!*text) {
    *next = text;
    return NULL;
  }
  token = text;
  text += strcspn(text, delimiters);
  if (*text) *text++ = '\0';
  *next = text;
  return token;
}
#define strtok_s qb_floor_strtok_s

/* Copies at most `count` characters of `source` (or as many as fit, with _TRUNCATE) and always
 * ends `target` with a NUL. 0; STRUNCATE when _TRUNCATE cut the text; EINVAL or ERANGE, with
 * an empty `target` where there is one, when the arguments do not allow the copy. */
static __inline int qb_floor_strncpy_s(char *target, size_t size, const char *source, size_t count)
{
  size_t length = 0;
  size_t limit;
  if (!target || size == 0) return EINVAL;
  if (!source) {
    target[0] = '\0';
    return EINVAL;
  }
  limit = count == _TRUNCATE ? size - 1 : count;
  while (length < limit && source[length]) ++length;
  if (length >= size) { /* an explicit count that does not fit */
    target[0] = '\0';
    return ERANGE;
  }
  memcpy(target, source, length);
  target[length] = '\0';
  return count == _TRUNCATE && source[length] ? STRUNCATE : 0;
}
#define strncpy_s qb_floor_strncpy_s

/* Writes at most size - 1 characters (or `count`, when smaller) and always ends the text with
 * a NUL; the number of characters written, or -1 when the text was cut or the buffer unusable. */
static __inline int qb_floor_vsnprintf_s(char *buffer, size_t size, size_t count, const char *format,
                                         va_list arguments)
{
  size_t limit;
  int written;
  if (!buffer || size == 0 || !format) {
    errno = EINVAL;
    return -1;
  }
  limit = (count == _TRUNCATE || count >= size) ? size - 1 : count;
  written = _vsnprintf(buffer, limit, format, arguments);
  if (written < 0 || (size_t)written > limit) {
    buffer[limit] = '\0';
    return -1;
  }
  buffer[written] = '\0';
  return written;
}
#define vsnprintf_s qb_floor_vsnprintf_s
#define _vsnprintf_s qb_floor_vsnprintf_s

#endif /* Windows below Vista */
#endif /* QBNOTIFY_WINDOWS_FLOOR_H */
