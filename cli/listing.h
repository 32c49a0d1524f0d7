// The -l listing: compressed size, original size, space saved and the
// name the file expands to, one line per input and a total for several.
#ifndef LZRING_CLI_LISTING_H
#define LZRING_CLI_LISTING_H

#include <string>
#include <vector>

#include "cli/report.h"
#include "lzring/lzring.hpp"

namespace lzring::cli {

// Writes the listing of `inputs` ("-" for standard input) to standard
// output, each named as it expands (without `suffix`). The original size is
// found by expanding each input into a counter. Devices, FIFOs and
// terminals are read only with `force`.
void ListInputs(const std::vector<std::string>& inputs, const std::string& suffix, bool force,
                codec& codec, Reporter& reporter);

}  // namespace lzring::cli

#endif  // LZRING_CLI_LISTING_H
