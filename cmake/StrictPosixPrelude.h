// Forced into every library source by IOTCLOUD_STRICT_POSIX, which compiles
// the library as a system without glibc's extensions would see it
// (-U_GNU_SOURCE -D_POSIX_C_SOURCE=200809L). The C++ standard libraries on
// glibc call a few functions that glibc declares only with its extensions:
// the GNU clock waits in <mutex> and <condition_variable> (libc++ and
// libstdc++ alike), and in libc++'s <locale> vasprintf, the strto*_l family
// and XSI's isascii. They are declared here, for the standard library alone;
// any other call outside POSIX in the library still fails to compile.
#pragma once

#include <ctype.h>
#include <pthread.h>
#include <stdarg.h>
#include <locale.h>
#include <stdio.h>
#include <time.h>

#if defined(__GLIBC__) && !defined(__USE_GNU)
extern "C" {
int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                           const struct timespec* abstime);
int pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock, const struct timespec* abstime) noexcept;
int vasprintf(char** out, const char* format, va_list arguments) noexcept;
long long strtoll_l(const char* text, char** end, int base, locale_t locale) noexcept;
unsigned long long strtoull_l(const char* text, char** end, int base, locale_t locale) noexcept;
long double strtold_l(const char* text, char** end, locale_t locale) noexcept;
double strtod_l(const char* text, char** end, locale_t locale) noexcept;
float strtof_l(const char* text, char** end, locale_t locale) noexcept;
}
#endif
#if defined(__GLIBC__) && !defined(__USE_MISC) && !defined(__USE_XOPEN)
extern "C" int isascii(int c) noexcept;
#endif
