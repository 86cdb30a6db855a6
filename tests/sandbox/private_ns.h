#ifndef TORPOR_TESTS_PRIVATE_NS_H
#define TORPOR_TESTS_PRIVATE_NS_H

// A private mount namespace with a fresh tmpfs on /tmp, shared by the test
// sandbox and the fuzz targets. No GoogleTest here.

#include <initializer_list>
#include <string_view>

namespace private_ns {

// Enters a new mount namespace with private propagation and mounts a tmpfs
// on /tmp; as non-root, inside a new user namespace mapping the caller to
// root. The trees in keep that lie under /tmp (a clone made there, say) are
// bound back in from the old /tmp. false with errno set.
bool enter(std::initializer_list<std::string_view> keep);

} // namespace private_ns

#endif
