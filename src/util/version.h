// The program's version: shown in the window title ("Karvelo(V7.3)"), sent
// with the update check, and printed by `karvelo --version`.
#pragma once

const double PROGRAM_VERSION = 7.3;
#define PROGRAM_VERSION_TEXT "7.3"
