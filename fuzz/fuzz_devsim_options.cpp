// tessaro-devsim's command line, its fault rules and the transcript's text escaping against
// arbitrary text: a bad line is an error message, never a crash, and a good one is a usable
// configuration.
//
// Input: the arguments, separated by NUL bytes; the whole input is also one fault rule and one
// device text for the transcript.
#include <string>
#include <vector>

#include "devsim/fault.h"
#include "devsim/options.h"
#include "devsim/storage.h"
#include "devsim/transcript.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    std::string_view text = in.all();

    std::vector<std::string> args;
    size_t start = 0;
    while (start <= text.size() && !text.empty()) {
        size_t nul = text.find('\0', start);
        if (nul == std::string_view::npos) nul = text.size();
        args.emplace_back(text.substr(start, nul - start));
        start = nul + 1;
    }
    devsim::ParsedOptions p = devsim::parse_options(args);
    // exactly one outcome: a configuration, the help, or an error saying what is wrong
    FUZZ_CHECK(p.config.has_value() + p.help + !p.error.empty() == 1);
    if (p.config) {
        FUZZ_CHECK(!p.config->dir.empty() && !p.config->devices.empty());
        for (const auto& d : p.config->devices) {
            // the name becomes a file name: it may not climb out of the directory
            FUZZ_CHECK(devsim::partition_name_ok(d.name));
            FUZZ_CHECK(d.serial.size() <= 255);
        }
    }

    devsim::FaultParse f = devsim::parse_fault(text);
    FUZZ_CHECK(f.fault.has_value() != !f.error.empty());
    if (f.fault) {
        FUZZ_CHECK(!f.fault->pattern.empty());
        std::vector<devsim::Fault> faults{*f.fault};
        devsim::FaultHits hits(devsim::faults_for_command(faults, "getvar:product"));
        (void)hits;
    }

    // any device text gives one JSON string of printable ASCII
    std::string json = devsim::json_string(text);
    FUZZ_CHECK(json.size() >= 2 && json.front() == '"' && json.back() == '"');
    for (size_t i = 1; i + 1 < json.size(); ++i) {
        auto c = static_cast<unsigned char>(json[i]);
        FUZZ_CHECK(c >= 0x20 && c <= 0x7e);
        if (c == '\\') {
            FUZZ_CHECK(i + 2 < json.size());
            ++i;  // the escaped character
        } else {
            FUZZ_CHECK(c != '"');
        }
    }
    return 0;
}
