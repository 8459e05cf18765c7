// What `karvelo relocate` and `karvelo demo` say when a run has ended: the
// failed images with their reasons, or (--json) one document for scripts,
// which `karvelo inspect --json` writes in the same frame.
#pragma once

#include <string>
#include <vector>

#include "cli/json_writer.h"
#include "cli/run_summary.h"
#include "cli/terminal_view.h"
#include "package/item_record.h"

// The version of the documents' layout: it changes only when a key's
// meaning does, or one goes.
const int JSON_REPORT_SCHEMA = 1;

// Each item with failed images, its title, then each failed address and
// the sentence of why it failed (in the chosen language), on stdout.
void PrintFailureList(const TerminalView& terminal);

// From now on the report of `command` ("relocate", "demo" or "inspect", a
// literal) is the JSON document: stdout is kept for it, and
// WriteJsonReport writes it, also as a command ends early (EndEarly: a
// stop, a fatal error).
void ChooseJsonReport(const char* command);
bool JsonReportChosen();

// The run the document describes while its view lives (null: none).
void SetReportedRun(const TerminalView* terminal);
// That run's outcome so far (TerminalView::outcome), or null.
const RunOutcome* ReportedOutcome();

// An item's first members in either document: "row" (its position among
// the package's items, 1 for the first), "outer_id" (its 商家编码, null
// when the package has no such column) and "title".
void WriteItemHead(JsonWriter* json, const ItemRecord* item, int row);

// Begins a document in `json`: its object, "schema", "command" and
// "package" (the core's form; "" or null: null).  The command adds its
// members, then FinishJsonReport ends and writes it.
void BeginJsonReport(JsonWriter* json, const char* packagePath);
// Adds "exit_code", ends the object and writes the document on stdout, once
// per process; a later call writes nothing, and so does any without
// ChooseJsonReport.  Returns the code the process ends with: `exitCode`,
// or EXIT_REFUSED (said on stderr) when the document could not be written
// whole (a full disk, a reader gone, standard output closed at the start);
// it is never written anywhere else.
int FinishJsonReport(JsonWriter* json, int exitCode);

// The relocation's document (relocate, demo), with the process's exit
// code, as FinishJsonReport writes it.  Without a run its item list is
// empty and its counts null; an inspect that ends early gets the same
// frame with no counts.
int WriteJsonReport(int exitCode);

// A command given several packages writes one document: "schema",
// "command", "package" (null), then "packages", one entry per package in
// the command's order, each its "package" and what the one-package document
// holds after it (with `ran` false, as for a refused or unstarted package:
// no items, null counts), and its own "exit_code" (negative: null, not
// started); then "total" (BatchSummary's numbers) and "exit_code".
// The entry is made while the package's run is the reported one.
std::string PackageReportEntry(const std::string& packagePath, bool ran, int exitCode);
int WriteBatchReport(const std::vector<std::string>& entries, const BatchSummary& total, int exitCode);
