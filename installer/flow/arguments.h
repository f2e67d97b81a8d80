// What the command line of a run asks for: its requests, its number arguments, the help and
// usage texts.
#pragma once

#include <string_view>

// What the command line asks for.
enum class StartRequest {
    Run,       // an install; the arguments are numbers (and a serial number)
    Help,      // --help or -h as the first argument
    Version,   // --version as the first argument
    List,      // --list: the devices there are, one line each
    ListJson,  // --list --json: the same as one JSON object per line
    DryRun,    // --dry-run [DOREBOOT [DOFAST [SERIAL]]]: the install against a twin
    Usage,     // DOREBOOT or DOFAST is not a number: usage text, exit status 2
};
StartRequest read_start_request(int argc, char** argv);
// True when the first argument is --dry-run.
bool dry_run_request(int argc, char** argv);

// An optional sign followed by one or more decimal digits, nothing else.
bool is_number_argument(std::string_view text);
// The value of a number argument, held at the ends of int instead of wrapping.
int number_argument(std::string_view text);

// The help text of --help.
void print_help();

// The short text for a usage error, naming the argument that is not a number.
void print_usage_error(int argc, char** argv);
