// Test programs that link the protocol objects directly have no DllMain to
// give the library's settings their load-time values (on POSIX a load-time
// constructor does it in any program), so this does it as the program starts.
#include "engine/library_state.h"

namespace {

const bool attached = (qor::AttachLibrary(), true);

}  // namespace
