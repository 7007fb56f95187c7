#pragma once
// The read cache of parsed profile files, private to platform: reads reuse a
// parsed file while its status shows it unchanged and it had been quiet for
// a while when it was read (see ProfileCache.cpp). Its margin is set by
// ProfileFileTesting::SetReadCacheMarginNs (platform/ProfileFile.h).
#include <memory>
#include <string>

#include "platform/ProfileText.h"

namespace Platform::ProfileDetail {

// The file's parsed lines, from the cache when they may be reused; a file
// that cannot be read reads as an empty one.
std::shared_ptr<const TProfile> ReadProfile(const std::string& fileName);

// Drops every parsed file, so that our own writes show at once, whoever
// reads next.
void ForgetCachedProfiles();

}  // namespace Platform::ProfileDetail
