// The plan of a dry run: what the twin of the device received during the whole install, told
// as the steps a person must know of before flashing (the loader's road, the partition tables,
// each file to its partition, the system marker, the wipe, the closing reboot, the bytes and the
// time they take), in the installer's two languages and as one JSON object for programs.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "devsim/digest_storage.h"
#include "usb/usb_twin.h"

// One stage of the loader's road: the image written, where, and the version the device then
// reported after its restart (empty when it was not asked again).
struct PlanLoaderStage {
    std::string image;
    std::string partition;
    std::string version;
};

enum class PlanWriteKind { file, loader, table, block, unknown };

// One write as a whole: the pieces of one file are one write.
struct PlanWrite {
    PlanWriteKind kind = PlanWriteKind::unknown;
    std::string name;  // the package file, or the installer's image
    std::string partition;
    uint64_t bytes = 0;
    uint32_t crc = 0;
    bool checked = false;  // the device confirmed its CRC after it was written
};

struct Plan {
    std::string serial;       // the device's serial number as the run found it
    std::string loader_from;  // "verflag" before the run
    std::string loader_to;    // and at its end, as the twin last answered it
    std::vector<PlanLoaderStage> stages;
    int restarts = 0;
    std::vector<std::string> tables;  // partitions whose tables are written
    std::string layout;               // the layout of those tables
    std::string variant;              // the storage variant the device ends as; empty: none
    std::string switched_serial;      // the board id after the storage-variant switch
    std::vector<PlanWrite> writes;
    std::string marker;  // what "systype" is set to; empty: it is not
    bool wipe = false;
    bool closing_reboot = false;
    uint64_t bytes = 0;         // every data phase
    double rate = 0;            // MB/s the time is stated at
    bool standin_stop = false;  // the real run would stop at the loader stage
    int status = 0;             // the run's exit status
};

// What the plan is made from beside the twin's events and writes.
struct PlanFacts {
    std::string serial;
    std::string loader_from;
    std::string layout;
    std::string variant;
    bool wipe = false;
    bool standin_stop = false;
    double rate = 0;
    int status = 0;
    // the package file that holds this many bytes with this CRC; empty when none does
    std::function<std::string(uint64_t bytes, uint32_t crc)> file_named;
};

[[nodiscard]] Plan make_plan(const std::vector<usb_twin::Event>& events,
                             const std::vector<devsim::DigestStorage::Write>& writes,
                             const PlanFacts& facts);
// The plan's lines for the console, in UTF-8 (the console writes them as the run's texts).
[[nodiscard]] std::string plan_text(const Plan& plan);
// The same as one JSON object on one line.
[[nodiscard]] std::string plan_json(const Plan& plan);
// Every text of the plan, for a test that each has a GBK form.
std::span<const char* const> plan_texts();
