// zig builds its C++ runtime for powerpc64le with IEEE quad-precision long double, and glibc's
// headers then send the runtime's printf calls (its demangler's, its abort messages') to the
// quad-precision entry points __snprintfieee128 and friends, which glibc has only since 2.32.
// A module that imported them would not load on glibc 2.17 to 2.31. These stand-ins hand each
// call to the plain function, which every glibc has, and are linked into the module itself
// (hidden: nothing outside it sees them). A long double argument would be laid out for the
// other format, so a format that converts one gives an empty result instead; the module itself
// formats no long double.
#include <cstdarg>
#include <cstddef>

extern "C" {
struct _IO_FILE;
// Declared here rather than through <cstdio>, whose redirection would make them these very
// functions.
int vfprintf(_IO_FILE* stream, const char* format, va_list args);
int vsnprintf(char* out, std::size_t size, const char* format, va_list args);
}

namespace {

// Whether `format` has a conversion with the L (long double) length modifier.
bool converts_long_double(const char* format) {
    for (const char* c = format; *c != '\0'; ++c) {
        if (*c != '%') continue;
        ++c;
        while (*c != '\0' && *c != 'L' && *c != '%' &&
               !((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z')))
            ++c;
        if (*c == 'L') return true;
        if (*c == '\0') return false;
    }
    return false;
}

}  // namespace

extern "C" {

__attribute__((visibility("hidden"))) int __vfprintfieee128(_IO_FILE* stream, const char* format,
                                                            va_list args) {
    return converts_long_double(format) ? 0 : vfprintf(stream, format, args);
}

__attribute__((visibility("hidden"))) int __fprintfieee128(_IO_FILE* stream, const char* format,
                                                           ...) {
    va_list args;
    va_start(args, format);
    const int written = __vfprintfieee128(stream, format, args);
    va_end(args);
    return written;
}

__attribute__((visibility("hidden"))) int __snprintfieee128(char* out, std::size_t size,
                                                            const char* format, ...) {
    if (converts_long_double(format)) {
        if (size > 0) out[0] = '\0';
        return 0;
    }
    va_list args;
    va_start(args, format);
    const int written = vsnprintf(out, size, format, args);
    va_end(args);
    return written;
}
}
