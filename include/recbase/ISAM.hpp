// recbase: the C++ class ISAM, one object per open database.
//
// The class is a thin binding over the ISAM layer declared in recbase/isam.h:
// it owns a buffer per field, a selected index, an error handler and display
// and progress handlers. Its members are declared here as they are built.
#ifndef RECBASE_ISAM_HPP
#define RECBASE_ISAM_HPP

#include "recbase/isam.h"

class ISAM;

#endif  // RECBASE_ISAM_HPP
