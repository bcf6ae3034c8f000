#pragma once
// What `skrivo export --bids` tells the dataset writer about each study.

#include <string>
#include <vector>

#include "Cli.h"
#include "tools/bids/BidsWriter.h"

class CExportDetails;

namespace sk::cli {

sk::bids::Options BidsWriterOptions(const BidsOptions& o, const char* version);
// The study's identity, sex, birth date, modality and channel reference,
// with the files its export wrote.
sk::bids::Study BidsStudyOf(const CExportDetails& e, const std::vector<std::string>& files);

} // namespace sk::cli
