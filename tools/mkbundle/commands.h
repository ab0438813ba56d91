// The mkbundle commands; each returns the process exit status.
#pragma once

#include <string>
#include <vector>

namespace mkbundle {

using args = std::vector<std::string>;

int keygen(const args& a);
int create(const args& a);
int list(const args& a);
int verify(const args& a);
int extract(const args& a);

}  // namespace mkbundle
