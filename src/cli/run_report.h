// What `karvelo relocate` and `karvelo demo` say when a run has ended: the
// failed images with their reasons, or (--json) one document for scripts.
#pragma once

#include "cli/terminal_view.h"

// Each item with failed images, its title, then each failed address and
// why it failed, on stdout.
void PrintFailureList(const TerminalView& terminal);

// From now on the run's report is the JSON document: stdout is kept for it,
// and WriteJsonReport writes it, also as a command ends early (EndEarly: a
// stop, a fatal error).
void ChooseJsonReport();

// The run the document describes while its view lives (null: none).
void SetReportedRun(const TerminalView* terminal);
// That run's outcome so far (TerminalView::outcome), or null.
const RunOutcome* ReportedOutcome();

// Writes the document, with the process's exit code, on stdout, once per
// process; a later call writes nothing, and so does any without
// ChooseJsonReport.  Without a run its item list is empty.  Returns the
// code the process ends with: `exitCode`, or EXIT_REFUSED (said on stderr)
// when the document could not be written whole (a full disk, a reader
// gone, standard output closed at the start); it is never written
// anywhere else.
int WriteJsonReport(int exitCode);
