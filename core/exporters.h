#pragma once
// Exports for use outside the application: the people and their scans as a
// GEDCOM 5.5.1 file, and one scan as a searchable PDF (the scan image with its
// text laid invisibly over it). Stateless; any thread may call.
#include <optional>
#include <string>

#include "core/models.h"

namespace quorvel {

class Catalog;

namespace GedcomExporter {
// Writes every person (an INDI record) and, for each scan tagged with them, a
// multimedia record with its dates and, when asked, its typed text as a note.
// Lines end with CR LF; the file is UTF-8 without a byte-order mark and
// replaces `to` atomically. Throws std::filesystem::filesystem_error when the
// file cannot be written; `to` is then left as it was.
void exportTo(Catalog& catalog, const std::string& to, bool includeTranscriptions);
// "Given names /Surname/" with "@" doubled; a single word is the surname,
// an empty name "//".
std::string nameToGedcom(const std::string& name);
}  // namespace GedcomExporter

namespace PdfExporter {
// Writes a one-page PDF at `to`: the scan at one point per pixel, with the
// transcription's lines (current text, else raw text) spread down the page as
// invisible, searchable text. A line wider than the page is wrapped at its
// spaces, and a single word wider than the page is narrowed, so that every
// word lies on the page. Written as "<to>.partial" and moved into place.
// Throws Failure "Couldn't open the scan: <path>" when the image cannot be
// loaded (nothing written) and "Couldn't write the PDF." when the file cannot
// be made or written (nothing replaces `to`).
void exportSearchablePdf(const ArchiveItem& item, const std::optional<Transcription>& transcription,
                         const std::string& to);
}  // namespace PdfExporter

}  // namespace quorvel
