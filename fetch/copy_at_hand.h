// A catalogue file that is already at hand needs no download.
#pragma once
#include <string>

#include "fetch/fetch_paths.h"

// Looks for a copy of the file whose checksum is right, first in the temp
// folder, then in programFolder ("": none) and copied into the temp folder.
// Where the copy in the temp folder came from ("in the temp folder",
// "beside the program"), or NULL when there is none to use; a wrong copy in
// the program's folder is left as it is.
const char *UseCopyAtHand(const FetchPaths &paths, const std::string &programFolder,
                          const std::string &fileName);
