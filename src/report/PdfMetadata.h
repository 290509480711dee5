// The document information of a finished PDF (title, author, subject,
// keywords, creator, producer, dates), set after the PDF writer is done
// with the file: Qt's writer takes only a title and a creator. An
// incremental update is appended to the bytes: a new information
// dictionary, a new XMP metadata stream that carries the same values
// (and the PDF/A-1b identification), a new catalog pointing to that
// stream, a cross-reference section for the three objects and a trailer
// chained to the one before (/Prev) that keeps the file's first
// identifier. Readers then see the last versions of the objects; the
// bytes before the update are left as they were.
#pragma once

#include <cstdint>
#include <string>

struct TPdfMetadata {
  std::string Title, Author, Subject, Keywords;  // UTF-8
  std::string Creator;   // the program that made the content
  std::string Producer;  // the program that wrote the PDF
  std::int64_t Created = 0;  // seconds since 1970-01-01 UTC
};

// Appends the update to `pdf`. False with `error` (and `pdf` unchanged)
// when the bytes are no PDF with a classic cross-reference table and a
// trailer naming its catalog.
bool AppendPdfMetadata(std::string& pdf, const TPdfMetadata& metadata, std::string& error);

// A text as a PDF text string: UTF-16BE with its byte order mark, in hex
// ("<FEFF0041>" for "A"); invalid UTF-8 bytes become U+FFFD.
std::string PdfTextString(const std::string& utf8);
