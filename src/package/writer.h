// Writing the package back and keeping its numbered backups.
//
// Every run first copies the package byte for byte to
// "<stateFolder>/bak/<name>(n)<ext>" (the smallest free n from 1), and at
// its end writes the rewritten text back as FF FE + UCS-2LE.  Both end the
// process after an error box ("错误") when they fail; where EndProcess
// returns (tests) they return 0 with nothing half-done left behind.
#pragma once

// The backup folder, in appState.stateFolder: beside the program, or in the
// user's state folder where the program's folder cannot be written.
#define BACKUP_FOLDER_NAME "bak"
// The package is written to "<package>" PACKAGE_TEMP_SUFFIX first and then
// moved over the package, so a failed write never costs the old package.
// When the package path is a symbolic link, "<package>" is the file the link
// leads to, and the link stays.
#define PACKAGE_TEMP_SUFFIX ".karvelo-tmp"

// The copy is streamed in blocks of this size, never held whole.
const int BACKUP_BLOCK_BYTES = 8192;

// Copies the package into the backup folder; 1 when the copy is complete.
// `backupPath`, when given (MAX_PATH_BYTES), then receives the copy's path.
int BackupPackage(const char* packagePath, char* backupPath = nullptr);

// Replaces the package with `packageText` (core form, NUL-terminated) in UTF-16LE
// with its mark; 1 when written.  On failure the package keeps its bytes.
int WritePackage(const char* packagePath, const char* packageText);
