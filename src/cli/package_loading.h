// How the command line reads a package and says why it refuses one: the
// core's checks and reader, in the command line's words.
#pragma once

#include <string>

#include "package/reader.h"
#include "relocate/run_inputs.h"
#include "platform/fs.h"

// Room for a message that names a path as long as the system allows.
const int MESSAGE_BYTES = MAX_PATH_BYTES + 2048;

// Prints a refusal of `command` about `path` (the core's form): the command
// line's own text when it has one for `warning`, else the core's.
void Refuse(const char* command, const char* warning, const std::string& path,
            const InputRefusal& detail = InputRefusal());

// Reads the package into coreState (scanned with `rowRead`, see
// LoadPackageIntoState); prints why on refusal.
bool LoadPackage(const char* command, const std::string& packagePath, PackageRowFn rowRead = nullptr,
                 void* context = nullptr);

// "-" would be standard input, which cannot be rewritten in place: says so.
bool RefuseStandardInput(const char* command, const std::string& argument);
