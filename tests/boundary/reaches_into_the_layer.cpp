// Must not compile: code outside platform/ that includes a header of the
// Linux layer's own (the test platform_boundary builds it and expects the
// compiler's refusal).
#include "platform/posix/samba_xattrs.h"

int main() { return posix::kDosAttribReadLimit == 0 ? 1 : 0; }
