// How the device program ends on a failure inside the C++ library (no
// memory for a string, a length past the maximum). Nothing in the program
// catches these, so the library's versions end in abort() as well; they
// would first build an exception object whose message goes through the C
// library's message catalogues and character-set converters, and demangle
// its type name, which together are about a tenth of the static program.
// These print one line on the console and abort at once.
#include <bits/functexcept.h>

#include <cstdlib>
#include <cstring>
#include <exception>

#include "sys/console.h"

namespace {

[[noreturn]] void fail(const char* what) {
    qm::write_all(2, "terminate called: ");
    qm::write_all(2, what);
    qm::write_all(2, "\n");
    std::abort();
}

}  // namespace

namespace __gnu_cxx {
void __verbose_terminate_handler() { fail("unhandled C++ exception"); }
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_alloc() { fail("std::bad_alloc"); }
void __throw_length_error(const char* what) { fail(what); }
void __throw_logic_error(const char* what) { fail(what); }
void __throw_out_of_range_fmt(const char* format, ...) { fail(format); }
}  // namespace std
