// The application's security policy: an ordered list of rules (client-name and MAC
// patterns, protocol, time group, address group, action) that the database evaluates for
// this client in one query; the lowest SortID among the matching rules decides.
#pragma once

#include <string>

#include "notify/SessionContext.h"

namespace qbnotify {

// 0: the session may go on; 2: refused by the policy or by the application's session
// limits (each refusal writes an event record). Raises DatabaseError.
int CheckSecurityPolicy(Instance& instance);

// The application's policy identifier; "no app" when the application has no row, empty
// when the column is NULL. Raises DatabaseError.
std::string GetAppSecurityPolicyId(Instance& instance);

// True when the first matching rule of the policy admits; false when it refuses or no rule
// matches. Raises DatabaseError.
bool MatchSecurityPolicy(Instance& instance, const std::string& policyId);

}  // namespace qbnotify
