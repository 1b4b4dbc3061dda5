// DbgPrint: the kernel debugger's output, kept in a buffer tests read.
//
// The format is the platform's, not the host C library's: %x and %d take
// 32-bit values whatever the host's int, %p prints a pointer, %Z and %wZ
// take a counted ANSI or Unicode string, %ws and %S a 16-bit string, and
// the I64 prefix a 64-bit value.

#include "kernel_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct DebugState {
    std::mutex lock;
    std::string log;
    bool echo = std::getenv("NORVANE_DBGPRINT") != nullptr && std::strcmp(std::getenv("NORVANE_DBGPRINT"), "0") != 0;
};

DebugState &State()
{
    static DebugState *s = new DebugState;
    return *s;
}

void AppendWide(std::string &out, const WCHAR *s, std::size_t chars)
{
    for (std::size_t i = 0; i < chars && s[i] != 0; i++)
        out += s[i] < 0x80 ? char(s[i]) : '?';
}

void AppendNumber(std::string &out, const std::string &spec, char conversion, unsigned long long value,
                  bool isSigned)
{
    char buf[96];
    const std::string fmt = "%" + spec + "ll" + conversion;
    if (isSigned)
        std::snprintf(buf, sizeof buf, fmt.c_str(), static_cast<long long>(value));
    else
        std::snprintf(buf, sizeof buf, fmt.c_str(), value);
    out += buf;
}

std::string Format(const char *format, va_list args)
{
    std::string out;
    for (const char *p = format; *p != 0; p++) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        p++;
        if (*p == '%') {
            out += '%';
            continue;
        }
        std::string spec;  // flags, width, precision
        while (*p != 0 && std::strchr("-+ #0", *p) != nullptr)
            spec += *p++;
        while ((*p >= '0' && *p <= '9') || *p == '.')
            spec += *p++;
        bool wide64 = false, isLong = false, isWide = false, isShort = false;
        for (;;) {
            if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
                wide64 = true;
                p += 3;
            } else if (p[0] == 'l' && p[1] == 'l') {
                wide64 = true;
                p += 2;
            } else if (*p == 'l') {
                isLong = true;
                p++;
            } else if (*p == 'h') {
                isShort = true;
                p++;
            } else if (*p == 'w') {
                isWide = true;
                p++;
            } else {
                break;
            }
        }
        const char c = *p;
        if (c == 0)
            break;
        switch (c) {
        case 'd':
        case 'i':
            AppendNumber(out, spec, 'd', wide64 ? static_cast<unsigned long long>(va_arg(args, long long))
                                                : static_cast<unsigned long long>(static_cast<long long>(va_arg(args, int))),
                         true);
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            unsigned long long v = wide64 ? va_arg(args, unsigned long long) : va_arg(args, unsigned int);
            if (isShort)
                v &= 0xFFFF;
            AppendNumber(out, spec, c, v, false);
            break;
        }
        case 'p': {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%0*llX", int(2 * sizeof(void *)),
                          static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void *))));
            out += buf;
            break;
        }
        case 'c':
            out += char(va_arg(args, int));
            break;
        case 's':
        case 'S': {
            const bool wideString = (c == 'S') || isWide || isLong;
            if (wideString) {
                const WCHAR *s = va_arg(args, const WCHAR *);
                if (s == NULL)
                    out += "(null)";
                else
                    AppendWide(out, s, SIZE_MAX);
            } else {
                const char *s = va_arg(args, const char *);
                out += s == NULL ? "(null)" : s;
            }
            break;
        }
        case 'Z': {
            if (isWide) {
                const UNICODE_STRING *s = va_arg(args, const UNICODE_STRING *);
                if (s == NULL || s->Buffer == NULL)
                    out += "(null)";
                else
                    AppendWide(out, s->Buffer, s->Length / sizeof(WCHAR));
            } else {
                const ANSI_STRING *s = va_arg(args, const ANSI_STRING *);
                if (s == NULL || s->Buffer == NULL)
                    out += "(null)";
                else
                    out.append(s->Buffer, s->Length);
            }
            break;
        }
        default:
            // An unknown conversion is printed as written, as the debugger does.
            out += '%';
            out += spec;
            out += c;
            break;
        }
    }
    return out;
}

}  // namespace

namespace sim::debug {

std::string Log()
{
    std::lock_guard<std::mutex> g(State().lock);
    return State().log;
}

void ClearLog()
{
    std::lock_guard<std::mutex> g(State().lock);
    State().log.clear();
}

void SetEcho(bool on)
{
    std::lock_guard<std::mutex> g(State().lock);
    State().echo = on;
}

}  // namespace sim::debug

extern "C" {

ULONG __cdecl DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    const std::string text = ::Format(Format, args);
    va_end(args);
    DebugState &s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.log += text;
    if (s.echo) {
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
    }
    return STATUS_SUCCESS;
}

VOID NTAPI DbgBreakPoint(VOID)
{
    sim::VerifierFault("DBG_BREAK_POINT", "a driver called DbgBreakPoint");
}

}  // extern "C"
