// Compiles nothing of its own. frame/ and bufpool/ declare the exported names
// they define again, in their own headers, because they sit below the layer
// that recbase/cbt.h belongs to; here both sets of declarations meet in one
// translation unit, so a name whose type, parameters or linkage differ
// between them is a compile error rather than a silent mismatch between the
// library and its callers.
#include "bufpool/pool_api.h"
#include "frame/errors.h"
#include "frame/platform.h"
#include "frame/registry.h"
#include "recbase/cbt.h"
