#include "report/PdfMetadata.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

#include "report/Sha256.h"

namespace {

// The code points of a UTF-8 text; a byte that starts no valid sequence
// gives U+FFFD.
std::vector<char32_t> CodePoints(const std::string& s) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const int n = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    char32_t c = n == 0 ? b : n == 1 ? (b & 0x1F) : n == 2 ? (b & 0x0F) : (b & 0x07);
    bool ok = n >= 0 && i + static_cast<std::size_t>(n) < s.size() + (n == 0 ? 1 : 0);
    for (int k = 1; ok && k <= n; ++k) {
      const auto next = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      ok = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are no text.
    const char32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (ok && (c < least[n] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)) ok = false;
    out.push_back(ok ? c : 0xFFFD);
    i += ok ? static_cast<std::size_t>(n) + 1 : 1;
  }
  return out;
}

std::string Utf8(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (c >> 18));
    s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

// The text for an XML element: markup characters as references, control
// characters XML 1.0 cannot hold left out.
std::string XmlText(const std::string& utf8) {
  std::string out;
  for (char32_t c : CodePoints(utf8)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if (c >= 0x20 || c == '\t' || c == '\n') out += Utf8(c);
    }
  }
  return out;
}

std::string Dates(std::int64_t seconds, bool xmp) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char text[96];
  if (xmp)
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d+00:00", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  else
    std::snprintf(text, sizeof text, "D:%04d%02d%02d%02d%02d%02d+00'00'", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

// A reader of the few structures the update needs: numbers, names,
// strings skipped as a whole, dictionaries by their brackets.
struct TScan {
  const std::string& s;
  std::size_t at;

  void Space() {
    while (at < s.size()) {
      const char c = s[at];
      if (c == '%') {
        while (at < s.size() && s[at] != '\n' && s[at] != '\r') ++at;
      } else if (c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0') {
        ++at;
      } else {
        break;
      }
    }
  }
  std::optional<std::int64_t> Integer() {
    Space();
    const std::size_t from = at;
    while (at < s.size() && std::isdigit(static_cast<unsigned char>(s[at]))) ++at;
    if (at == from || at - from > 15) return std::nullopt;
    return std::stoll(s.substr(from, at - from));
  }
  bool Word(const char* word) {
    Space();
    const std::string w(word);
    if (s.compare(at, w.size(), w) != 0) return false;
    at += w.size();
    return true;
  }
  // The end of the dictionary that starts at `at` (just past its ">>");
  // npos when it does not close.
  std::size_t DictionaryEnd() const {
    int depth = 0;
    for (std::size_t i = at; i < s.size(); ++i) {
      if (s.compare(i, 2, "<<") == 0) {
        ++depth;
        ++i;
      } else if (s.compare(i, 2, ">>") == 0) {
        ++i;
        if (--depth == 0) return i + 1;
      } else if (s[i] == '<') {  // a hex string
        i = s.find('>', i);
        if (i == std::string::npos) return i;
      } else if (s[i] == '(') {  // a literal string: nested brackets, escapes
        int open = 0;
        for (; i < s.size(); ++i) {
          if (s[i] == '\\') ++i;
          else if (s[i] == '(') ++open;
          else if (s[i] == ')' && --open == 0) break;
        }
      }
    }
    return std::string::npos;
  }
};

// The value of `key` in the dictionary text `dict` (the text after the key
// up to the next key or the end), or empty.
std::string Entry(const std::string& dict, const std::string& key) {
  std::size_t at = 0;
  while ((at = dict.find(key, at)) != std::string::npos) {
    const std::size_t after = at + key.size();
    // "/Root" is not "/RootX".
    if (after < dict.size() && (std::isalnum(static_cast<unsigned char>(dict[after])))) {
      at = after;
      continue;
    }
    std::size_t end = dict.find('/', after);
    if (key == "/ID") end = dict.find(']', after);
    return dict.substr(after, end == std::string::npos ? std::string::npos : end - after);
  }
  return {};
}

struct TTrailer {
  std::int64_t Size = -1, Root = -1, RootGeneration = 0, Prev = -1;
  std::string FirstId;  // hex digits
};

std::optional<TTrailer> ReadTrailer(const std::string& dict) {
  TTrailer t;
  const auto number = [](const std::string& text, std::size_t index) -> std::int64_t {
    TScan scan{text, 0};
    std::optional<std::int64_t> v;
    for (std::size_t k = 0; k <= index; ++k)
      if (!(v = scan.Integer())) return -1;
    return *v;
  };
  t.Size = number(Entry(dict, "/Size"), 0);
  const std::string root = Entry(dict, "/Root");
  t.Root = number(root, 0);
  t.RootGeneration = number(root, 1);
  const std::string prev = Entry(dict, "/Prev");
  if (!prev.empty()) t.Prev = number(prev, 0);
  const std::string id = Entry(dict, "/ID");
  const auto open = id.find('<'), close = id.find('>');
  if (open != std::string::npos && close != std::string::npos && close > open)
    t.FirstId = id.substr(open + 1, close - open - 1);
  if (t.Size <= 0 || t.Root <= 0 || t.RootGeneration < 0) return std::nullopt;
  return t;
}

// The cross-reference section at `offset`: the offset of object `object`
// in it (nullopt when it has no entry for it), and its trailer.
bool ReadSection(const std::string& pdf, std::int64_t offset, std::int64_t object,
                 std::optional<std::int64_t>& found, std::string& trailer) {
  TScan scan{pdf, static_cast<std::size_t>(offset)};
  if (!scan.Word("xref")) return false;
  while (!scan.Word("trailer")) {
    const auto first = scan.Integer(), count = scan.Integer();
    if (!first || !count) return false;
    for (std::int64_t k = 0; k < *count; ++k) {
      const auto where = scan.Integer(), generation = scan.Integer();
      scan.Space();
      if (!where || !generation || scan.at >= pdf.size()) return false;
      const char type = pdf[scan.at++];
      if (*first + k == object && !found && type == 'n') found = *where;
    }
  }
  scan.Space();
  const std::size_t end = scan.DictionaryEnd();
  if (end == std::string::npos) return false;
  trailer = pdf.substr(scan.at, end - scan.at);
  return true;
}

std::string Offset10(std::size_t offset) {
  char text[24];
  std::snprintf(text, sizeof text, "%010zu 00000 n\r\n", offset);
  return text;
}

std::string Xmp(const TPdfMetadata& m) {
  const std::string created = Dates(m.Created, true);
  std::string x =
      "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
      "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
      "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n"
      "<dc:format>application/pdf</dc:format>\n";
  const auto alt = [&](const char* element, const std::string& value) {
    if (!value.empty())
      x += std::string("<") + element + "><rdf:Alt><rdf:li xml:lang=\"x-default\">" + XmlText(value) +
           "</rdf:li></rdf:Alt></" + element + ">\n";
  };
  alt("dc:title", m.Title);
  if (!m.Author.empty())
    x += "<dc:creator><rdf:Seq><rdf:li>" + XmlText(m.Author) + "</rdf:li></rdf:Seq></dc:creator>\n";
  alt("dc:description", m.Subject);
  x += "</rdf:Description>\n"
       "<rdf:Description rdf:about=\"\" xmlns:pdf=\"http://ns.adobe.com/pdf/1.3/\">\n";
  if (!m.Keywords.empty()) x += "<pdf:Keywords>" + XmlText(m.Keywords) + "</pdf:Keywords>\n";
  if (!m.Producer.empty()) x += "<pdf:Producer>" + XmlText(m.Producer) + "</pdf:Producer>\n";
  x += "</rdf:Description>\n"
       "<rdf:Description rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\">\n";
  if (!m.Creator.empty()) x += "<xmp:CreatorTool>" + XmlText(m.Creator) + "</xmp:CreatorTool>\n";
  x += "<xmp:CreateDate>" + created + "</xmp:CreateDate>\n<xmp:ModifyDate>" + created +
       "</xmp:ModifyDate>\n<xmp:MetadataDate>" + created + "</xmp:MetadataDate>\n</rdf:Description>\n"
       "<rdf:Description rdf:about=\"\" xmlns:pdfaid=\"http://www.aiim.org/pdfa/ns/id/\" "
       "pdfaid:part=\"1\" pdfaid:conformance=\"B\"/>\n"
       "</rdf:RDF>\n</x:xmpmeta>\n<?xpacket end=\"w\"?>";
  return x;
}

}  // namespace

std::string PdfTextString(const std::string& utf8) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "<FEFF";
  const auto unit = [&](unsigned u) {
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(u >> shift) & 0xF];
  };
  for (char32_t c : CodePoints(utf8)) {
    if (c >= 0x10000) {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      unit(static_cast<unsigned>(c));
    }
  }
  return out + ">";
}

bool AppendPdfMetadata(std::string& pdf, const TPdfMetadata& m, std::string& error) {
  const auto fail = [&](const std::string& why) {
    error = "cannot set the document information: " + why;
    return false;
  };
  const std::size_t start = pdf.rfind("startxref");
  if (start == std::string::npos) return fail("no startxref");
  TScan scan{pdf, start + 9};
  const auto last = scan.Integer();
  if (!last || *last <= 0 || static_cast<std::size_t>(*last) >= start)
    return fail("no cross-reference table where startxref points");

  // The newest trailer, then the catalog's offset from the newest section
  // that lists it.
  std::optional<std::int64_t> catalogAt;
  std::string dict;
  if (!ReadSection(pdf, *last, -1, catalogAt, dict))
    return fail("no cross-reference table where startxref points");
  const std::optional<TTrailer> trailer = ReadTrailer(dict);
  if (!trailer) return fail("the trailer names no size or catalog");
  std::int64_t section = *last;
  for (int hops = 0; !catalogAt && section >= 0 && hops < 64; ++hops) {
    std::string sectionTrailer;
    if (static_cast<std::size_t>(section) >= pdf.size() ||
        !ReadSection(pdf, section, trailer->Root, catalogAt, sectionTrailer))
      return fail("a cross-reference table cannot be read");
    const auto older = ReadTrailer(sectionTrailer);
    section = older ? older->Prev : -1;
  }
  if (!catalogAt || static_cast<std::size_t>(*catalogAt) >= pdf.size()) return fail("the catalog is not listed");
  TScan object{pdf, static_cast<std::size_t>(*catalogAt)};
  const auto number = object.Integer(), generation = object.Integer();
  if (number != trailer->Root || generation != trailer->RootGeneration || !object.Word("obj"))
    return fail("the catalog is not where the table says");
  object.Space();
  const std::size_t catalogEnd = object.DictionaryEnd();
  if (catalogEnd == std::string::npos) return fail("the catalog does not close");
  std::string catalog = pdf.substr(object.at, catalogEnd - object.at);

  // The catalog as it was, its metadata entry pointing to the new stream.
  const std::int64_t info = trailer->Size, metadata = trailer->Size + 1;
  if (const std::size_t key = catalog.find("/Metadata"); key != std::string::npos) {
    TScan ref{catalog, key + 9};
    if (ref.Integer() && ref.Integer() && ref.Word("R")) catalog.erase(key, ref.at - key);
  }
  catalog.insert(catalog.size() - 2, "/Metadata " + std::to_string(metadata) + " 0 R\n");

  std::string update = pdf.empty() || pdf.back() == '\n' || pdf.back() == '\r' ? "" : "\n";
  const std::size_t base = pdf.size();
  const std::size_t infoAt = base + update.size();
  update += std::to_string(info) + " 0 obj\n<<\n";
  const auto field = [&](const char* key, const std::string& value) {
    if (!value.empty()) update += std::string(key) + " " + PdfTextString(value) + "\n";
  };
  field("/Title", m.Title);
  field("/Author", m.Author);
  field("/Subject", m.Subject);
  field("/Keywords", m.Keywords);
  field("/Creator", m.Creator);
  field("/Producer", m.Producer);
  const std::string date = Dates(m.Created, false);
  update += "/CreationDate (" + date + ")\n/ModDate (" + date + ")\n>>\nendobj\n";
  const std::size_t metadataAt = base + update.size();
  const std::string xmp = Xmp(m);
  update += std::to_string(metadata) + " 0 obj\n<<\n/Type /Metadata\n/Subtype /XML\n/Length " +
            std::to_string(xmp.size()) + "\n>>\nstream\n" + xmp + "\nendstream\nendobj\n";
  const std::size_t catalogNewAt = base + update.size();
  update += std::to_string(trailer->Root) + " " + std::to_string(trailer->RootGeneration) + " obj\n" + catalog +
            "\nendobj\n";
  const std::size_t xrefAt = base + update.size();
  // The catalog keeps its generation; its entry says so.
  char catalogEntry[24];
  std::snprintf(catalogEntry, sizeof catalogEntry, "%010zu %05lld n\r\n", catalogNewAt,
                static_cast<long long>(trailer->RootGeneration));
  update += "xref\n" + std::to_string(trailer->Root) + " 1\n" + catalogEntry + std::to_string(info) + " 2\n" +
            Offset10(infoAt) + Offset10(metadataAt);
  // The file keeps its first identifier; the second one names this version.
  const std::string secondId = Sha256Hex(pdf + update).substr(0, 32);
  const std::string firstId = trailer->FirstId.empty() ? secondId : trailer->FirstId;
  update += "trailer\n<<\n/Size " + std::to_string(metadata + 1) + "\n/Root " + std::to_string(trailer->Root) +
            " " + std::to_string(trailer->RootGeneration) + " R\n/Info " + std::to_string(info) +
            " 0 R\n/Prev " + std::to_string(*last) + "\n/ID [<" + firstId + "> <" + secondId +
            ">]\n>>\nstartxref\n" + std::to_string(xrefAt) + "\n%%EOF\n";
  pdf += update;
  return true;
}
