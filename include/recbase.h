/* recbase: an embedded record database library.
 *
 * One include for everything: the B-tree layer (cb... functions), the ISAM
 * layer (i... functions, display and output window) and, for C++, the ISAM
 * class.
 */
#ifndef RECBASE_H
#define RECBASE_H

#include "recbase/cbt.h"
#include "recbase/isam.h"

#ifdef __cplusplus
#include "recbase/ISAM.hpp"
#endif

#endif /* RECBASE_H */
