#include "cli/Ports.h"

#include <ostream>
#include <string>
#include <vector>

#include "acquisition/PortDiagnostics.h"
#include "cli/CliCommands.h"
#include "cli/Fields.h"

namespace cli {

namespace {

Field YesNo(const std::string& caption, bool value) {
  return {caption, value ? "yes" : "no", value ? "true" : "false"};
}

// The facts of one port; the absent ones are null in JSON and left out of
// the text.
std::vector<Field> PortFields(const TPortDiagnosis& d) {
  auto optional = [](const std::string& caption, const std::string& value, bool known) {
    return known ? TextField(caption, value) : Field{caption, "", "null"};
  };
  return {
      TextField("Port", d.Name),
      TextField("Device", d.Device),
      TextField("Resolved by", d.ResolvedBy),
      YesNo("Exists", d.Exists),
      d.Exists ? YesNo("Access", d.Accessible) : Field{"Access", "", "null"},
      optional("Group", d.Group, d.Exists),
      YesNo("In use", d.Locked),
      d.HolderPid > 0 ? IntegerField("Holder pid", d.HolderPid) : Field{"Holder pid", "", "null"},
      optional("Holder program", d.HolderProgram, !d.HolderProgram.empty()),
      YesNo("USB", d.Usb),
      optional("Vendor ID", d.VendorId, d.Usb),
      optional("Vendor", d.Vendor, d.Usb),
      optional("Product ID", d.ProductId, d.Usb),
      optional("Product", d.Product, d.Usb),
      optional("Serial", d.Serial, d.Usb),
      optional("Driver", d.Driver, !d.Driver.empty()),
      YesNo("No UART", d.NoUart),
      TextField("Summary", d.Summary()),
  };
}

}  // namespace

int Ports(const Options& o, std::ostream& out, std::ostream&) {
  if (!o.positional.empty()) throw UsageError{"ports takes no file"};
  const bool json = o.Flag("json");
  std::string ports;
  for (int n = 1; n <= 9; ++n) {
    const TPortDiagnosis d = DiagnosePort("COM" + std::to_string(n));
    const std::vector<Field> fields = PortFields(d);
    if (json) {
      std::string hints = "\"hints\": [";
      for (std::size_t i = 0; i < d.Hints.size(); ++i)
        hints += (i ? ", " : "") + JsonString(d.Hints[i]);
      hints += "]";
      ports += (n > 1 ? ", " : "") + JsonObject(fields, hints);
      continue;
    }
    // COM1<TAB>summary, then the facts known and the hints, indented.
    out << d.Name << "\t" << d.Summary() << "\n";
    for (std::size_t i = 2; i + 1 < fields.size(); ++i)
      if (fields[i].Json != "null") out << "  " << fields[i].Caption << "\t" << fields[i].Text << "\n";
    for (const std::string& hint : d.Hints) out << "  Hint\t" << hint << "\n";
  }
  if (json) out << "{\"ports\": [" << ports << "]}\n";
  return ExitOk;
}

}  // namespace cli
