#pragma once

#include <string>

namespace tessarine {

// Makes path a file that only its owner may read or write. A missing file is created so when create is set, by
// the call that creates it, so that no other user can open it in between; an existing one loses the permissions
// of group and others (on Windows: it gets an access list of its own that lets only the current user in, none
// inherited from its folder). Without create a missing file is left missing. Returns the system's reason when the file
// cannot be created or opened or its permissions cannot be narrowed, else an empty text.
std::string RestrictToOwner(const std::string& path, bool create);

}  // namespace tessarine
