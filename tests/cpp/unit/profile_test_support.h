// Test hooks of profile_store.cpp: what a new process would see, without
// starting one.
#pragma once

#include <memory>
#include <string>

#include "profile_store.h"

namespace hvcore::testing {

// Forgets the namespaces open in this process (closing those no one else
// holds), as a new run of the process would start.
void forget_open_profiles();

// Opens the namespace as another process would: a Profile with its own
// connection and jar, outside the process's registry.
int32_t open_profile_unshared(const std::string &name, const std::string &impersonate,
                              std::shared_ptr<Profile> &out);

}  // namespace hvcore::testing
