// The security of a diagnostics report's folder.
#pragma once
#include "foundation/data_paths.h"

namespace qs {

// Full control for SYSTEM and Administrators, read and list for local
// users, inherited by the report and not by the parent's entries: the
// service's data root is admins-only, and the report is meant for the user.
OwnedSecurityDescriptor ReportFolderDescriptor();

}  // namespace qs
