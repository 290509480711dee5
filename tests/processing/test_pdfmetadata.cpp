// The document information appended to a finished PDF: its bytes, what
// qpdf and pdfinfo make of it, refusals. The report's file: which names
// take it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/TestFiles.h"
#include "report/PdfMetadata.h"
#include "report/ReportFile.h"

namespace {

const char kCatalog[] = "<< /Type /Catalog /Pages 2 0 R /Metadata 4 0 R /Lang (en\\(x\\)>>) >>";
const char kTrailer[] =
    "<< /Size 5 /Root 1 0 R /ID [<00112233445566778899AABBCCDDEEFF> <00112233445566778899AABBCCDDEEFF>] >>";

std::string Entry(std::size_t offset) {
  char entry[24];
  std::snprintf(entry, sizeof entry, "%010zu 00000 n\r\n", offset);
  return entry;
}

// A small PDF with a classic table: by default a catalog with older
// metadata.
std::string SmallPdf(const std::string& catalog = kCatalog, const std::string& trailer = kTrailer,
                     const std::string& end = "\n%%EOF\n") {
  std::string pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::string offsets;
  const auto object = [&](const std::string& body) {
    offsets += Entry(pdf.size());
    pdf += body;
  };
  object("1 0 obj\n" + catalog + "\nendobj\n");
  object("2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n");
  object("3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] >>\nendobj\n");
  object("4 0 obj\n<< /Type /Metadata /Subtype /XML /Length 3 >>\nstream\nold\nendstream\nendobj\n");
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 5\n0000000000 65535 f\r\n" + offsets + "trailer\n" + trailer + "\nstartxref\n" +
         std::to_string(xref) + end;
  return pdf;
}

// `pdf` with an update of its own that adds object 5 and lists nothing
// else: the catalog is found in the section before (`prev`).
std::string WithUpdate(std::string pdf, const std::string& prev) {
  const std::size_t at = pdf.size();
  pdf += "5 0 obj\n(note)\nendobj\n";
  const std::size_t xref = pdf.size();
  return pdf + "xref\n5 1\n" + Entry(at) + "trailer\n<< /Size 6 /Root 1 0 R /Prev " + prev +
         " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
}

// What pdfinfo reads of `pdf` (the XMP, then the document information),
// once qpdf found the file sound.
std::string ReaderView(const std::string& pdf) {
  TTempDir tmp;
  const std::string file = tmp.File("m.pdf");
  std::ofstream(file, std::ios::binary) << pdf;
  std::string info(1 << 16, '\0');
  FILE* pipe = ::popen(("qpdf --check " + file + " >/dev/null && pdfinfo -meta " + file + " && pdfinfo " + file).c_str(), "r");
  info.resize(std::fread(info.data(), 1, info.size(), pipe));
  EXPECT_EQ(::pclose(pipe), 0) << info;
  return info;
}

// Applied a second time, the update chains to the first.
TEST(PdfMetadata, UpdateIsReadByOtherReadersAndChains) {
  const std::string original = SmallPdf();
  std::string pdf = original, error;
  TPdfMetadata m{"Gyroscope test report", "\u0418\u0432\u0430\u043D\u043E\u0432 & <Co>", "Test of unit 7",
                 "VRDT40-7; verdict PASS", "Ratelog 0.1.0", "Ratelog 0.1.0", 1796625600};
  EXPECT_EQ(PdfTextString("a\xFF" "\u00B0\xC0\xAF\xF0\x9D\x84\x9E"), "<FEFF0061FFFD00B0FFFDFFFDD834DD1E>");
  ASSERT_TRUE(AppendPdfMetadata(pdf, m, error)) << error;
  ASSERT_EQ(pdf.compare(0, original.size(), original), 0) << "the old bytes are kept";
  const std::string update = pdf.substr(original.size());
  for (const char* part : {"5 0 obj\n<<\n/Title <FEFF00470079", "/Author <FEFF041804320430043D043E04320020",
                           "/CreationDate (D:20261207064000+00'00')",
                           "<dc:creator><rdf:Seq><rdf:li>\u0418\u0432\u0430\u043D\u043E\u0432 &amp; &lt;Co&gt;</rdf:li>",
                           "pdfaid:part=\"1\" pdfaid:conformance=\"B\"",
                           "1 0 obj\n<< /Type /Catalog /Pages 2 0 R  /Lang (en\\(x\\)>>) /Metadata 6 0 R\n>>",
                           "/ID [<00112233445566778899AABBCCDDEEFF> <"})
    EXPECT_NE(update.find(part), std::string::npos) << part << "\n" << update;
  EXPECT_NE(update.find("/Info 5 0 R\n/Prev " + std::to_string(original.find("xref\n")) + "\n"), std::string::npos);
  // Each entry of the new table: 20 bytes, pointing at its object.
  const std::size_t table = update.find("xref\n1 1\n");
  ASSERT_NE(table, std::string::npos);
  const std::string entries = update.substr(table + 9, 20) + update.substr(table + 33, 40);
  for (const auto& [k, object] : {std::pair{0, "1 0 obj"}, {20, "5 0 obj"}, {40, "6 0 obj"}}) {
    EXPECT_EQ(entries.substr(k + 10, 10), " 00000 n\r\n");
    EXPECT_EQ(pdf.compare(std::stoul(entries.substr(k, 10)), 7, object), 0) << entries.substr(k, 20);
  }

  const auto check = [&](std::vector<std::string> lines) {
    const std::string info = ReaderView(pdf);
    for (const std::string& line : lines) EXPECT_NE(info.find(line), std::string::npos) << line << info;
  };
  check({"Author:          \u0418\u0432\u0430\u043D\u043E\u0432 & <Co>\n", "Subject:         Test of unit 7\n",
         "<pdf:Keywords>VRDT40-7; verdict PASS</pdf:Keywords>"});

  // In the XMP: markup characters as references, control characters XML
  // cannot hold left out, characters of three and four bytes kept.
  TPdfMetadata odd = m;
  odd.Keywords = "\"a\" 'b'\t\x01\x1F \u20AC \U0001D11E";
  std::string oddPdf = original;
  ASSERT_TRUE(AppendPdfMetadata(oddPdf, odd, error)) << error;
  EXPECT_NE(oddPdf.find("<pdf:Keywords>&quot;a&quot; &apos;b&apos;\t \u20AC \U0001D11E</pdf:Keywords>"),
            std::string::npos);
  m.Keywords = "VRDT40-7; verdict FAIL";
  const std::size_t first = pdf.size(), firstTable = pdf.rfind("\nxref\n") + 1;
  ASSERT_TRUE(AppendPdfMetadata(pdf, m, error)) << error;
  EXPECT_NE(pdf.find("/Size 9\n/Root 1 0 R\n/Info 7 0 R\n/Prev " + std::to_string(firstTable) + "\n", first),
            std::string::npos);
  check({"Keywords:        VRDT40-7; verdict FAIL\n"});
}

// Files other writers make: comments, nested dictionaries and strings, no
// identifier, no metadata, no line end after %%EOF, a key that begins
// like another, the catalog listed only in an older section. Fields left
// empty are left out.
TEST(PdfMetadata, OtherWritersFilesTakeTheUpdate) {
  const std::string plain = SmallPdf(
      "<< /Type /Catalog /Pages 2 0 R % the pages\n/PageLabels << /Nums [0 << /P (a\\)(b)c) >>] >> /Lang <656E> >>",
      "<< /Size % five objects\n5 /RootX 9 0 R /Root 1 0 R >>", "\n%%EOF");
  for (const std::string& original : {plain, WithUpdate(SmallPdf(), std::to_string(SmallPdf().find("xref\n")))}) {
    std::string pdf = original, error;
    ASSERT_TRUE(AppendPdfMetadata(pdf, {"Unit 7", "", "", "", "", "", 0}, error)) << error;
    const std::string update = pdf.substr(original.size());
    EXPECT_EQ(update.find("/Author"), std::string::npos);
    EXPECT_EQ(update.find("<dc:creator>"), std::string::npos);
    EXPECT_NE(update.find("/CreationDate (D:19700101000000+00'00')"), std::string::npos);
    EXPECT_NE(ReaderView(pdf).find("Title:           Unit 7\n"), std::string::npos);
    // Without an identifier the file's first one is this version's.
    const std::size_t id = update.find("/ID [<");
    ASSERT_NE(id, std::string::npos);
    if (original == plain) {
      EXPECT_EQ(update.substr(id + 6, 32), update.substr(id + 41, 32));
    }
  }
}

TEST(PdfMetadata, RefusesWhatItCannotRead) {
  const std::string good = SmallPdf();
  const std::size_t xref = good.find("xref\n");
  std::string without = good, stream = good, moved = good, free = good;
  without.replace(good.find("/Root 1 0 R"), 11, "/Rot 1 0 R ");
  stream.replace(xref, 4, "7 0 ");  // a cross-reference stream where startxref points
  moved.replace(xref + 29, 10, moved.substr(xref + 49, 10));  // the catalog's entry points at the pages
  free.replace(xref + 46, 1, "f");  // the catalog's entry is free
  const std::pair<std::string, std::string> cases[] = {
      {"%PDF-1.4\n", "no startxref"},
      {good.substr(0, xref), "no startxref"},
      {without, "the trailer names no size or catalog"},
      {SmallPdf(kCatalog, "<< /Size 0 /Root 1 0 R >>"), "the trailer names no size or catalog"},
      {stream, "no cross-reference table where startxref points"},
      {SmallPdf(kCatalog, "<< /Size 5 /Root 1 0 R"), "no cross-reference table where startxref points"},
      {good.substr(0, good.rfind("startxref")) + "startxref\n0000000000000015\n%%EOF\n",  // 16 digits
       "no cross-reference table where startxref points"},
      {good.substr(0, good.rfind("startxref")) + "startxref\n99999999\n%%EOF\n",
       "no cross-reference table where startxref points"},
      {moved, "the catalog is not where the table says"},
      {SmallPdf(kCatalog, "<< /Size 5 /Root 1 1 R >>"), "the catalog is not where the table says"},
      {free, "the catalog is not listed"},
      {WithUpdate(good, "99999999"), "a cross-reference table cannot be read"},
      {SmallPdf("<< /Type /Catalog /Pages 2 0 R /Lang (en)"), "the catalog does not close"}};
  for (const auto& [bad, reason] : cases) {
    std::string pdf = bad, error;
    EXPECT_FALSE(AppendPdfMetadata(pdf, {}, error));
    EXPECT_EQ(error, "cannot set the document information: " + reason);
    EXPECT_EQ(pdf, bad);
  }
}

// A new name or a regular file takes the report whole, a bare name in the
// working folder; a folder, a FIFO, a device or a socket at the name is
// refused and stays; no temporary file is left in either case.
TEST(ReportFile, OnlyARegularFileOrANewNameTakesTheReport) {
  TTempDir tmp;
  const std::string fifo = tmp.File("pipe.pdf"), folder = tmp.File("folder.pdf"), sock = tmp.File("sock.pdf");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const int listener = BoundSocket(sock);
  ASSERT_GE(listener, 0);
  std::vector<std::pair<std::string, std::string>> refused = {
      {fifo, "not a regular file (a FIFO)"},     {folder, "Is a directory"},
      {sock, "not a regular file (a socket)"}, {tmp.File("null.pdf"), "not a regular file (a device)"},
      {tmp.File("no/such.pdf"), "No such file or directory"}};
  ASSERT_EQ(::symlink("/dev/null", tmp.File("null.pdf").c_str()), 0);
  for (const std::string disk : {"/dev/loop0", "/dev/sda", "/dev/vda", "/dev/nvme0n1"}) {  // a block device
    struct stat st {};
    if (::stat(disk.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
      ASSERT_EQ(::symlink(disk.c_str(), tmp.File("disk.pdf").c_str()), 0);
      refused.push_back({tmp.File("disk.pdf"), "not a regular file (a device)"});
      break;
    }
  }
  const std::vector<std::string> before = FolderNames(tmp.Path());
  for (const auto& [path, reason] : refused) {
    std::string error;
    EXPECT_FALSE(WriteReportFile(path, "%PDF-", 5, error));
    EXPECT_EQ(error, path + ": " + reason);
    EXPECT_EQ(ReportTargetProblem(path), reason == "No such file or directory" ? "" : reason);
  }
  EXPECT_EQ(FolderNames(tmp.Path()), before);
  ::close(listener);

  std::string error;
  const std::string pdf = tmp.File("r.pdf");
  ASSERT_TRUE(WriteReportFile(pdf, "%PDF-1.4 first", 14, error)) << error;
  ASSERT_TRUE(WriteReportFile(pdf, "%PDF-2", 6, error)) << error;
  EXPECT_EQ(ReadText(pdf), "%PDF-2");
  EXPECT_EQ(FolderNames(tmp.Path()).size(), before.size() + 1);
  char* cwd = ::getcwd(nullptr, 0);
  ASSERT_EQ(::chdir(folder.c_str()), 0);
  EXPECT_TRUE(WriteReportFile("bare.pdf", "%PDF-3", 6, error)) << error;
  EXPECT_EQ(::chdir(cwd), 0);
  std::free(cwd);
  EXPECT_EQ(ReadText(folder + "/bare.pdf"), "%PDF-3");
  EXPECT_EQ(FolderNames(folder), std::vector<std::string>{"bare.pdf"});
}

}  // namespace
