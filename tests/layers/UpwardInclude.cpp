// Compiled with the include path of one layer (the store) and the header of a higher one (the
// session): the build must refuse it. Compiled with the session's own path, it must pass, so
// that the refusal is the layers' doing and not a fault of this file.
#include "session/SessionContext.h"

int main() { return 0; }
