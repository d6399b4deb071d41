// The pages that build lists: parts from the part database, ports and
// rates, and the protection units of the part in force.

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "caseless_order.h"
#include "front_texts.h"
#include "part_db.h"
#include "protection_groups.h"
#include "serial_port.h"
#include "sheet_model.h"

namespace talvex {
namespace {

// Exact text without regard to letter case, as a list's own search goes:
// the first entry that matches, or -1.
template <typename Entries, typename TextOf>
int FindIgnoringCase(const Entries& entries, const std::string& wanted, TextOf textOf) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (EqualIgnoringCase(textOf(entries[i]), wanted)) return static_cast<int>(i);
    }
    return -1;
}

} // namespace

PartsPageModel::PartsPageModel(ConfigureValues& work,
                               std::function<void(const std::string&)> partSelected)
    : SheetPageModel(work), partSelected_(std::move(partSelected)) {}

void PartsPageModel::FirstShown() {
    names_.clear();
    selected_ = -1;
    const std::string& db = work_.settings.partDbPath;
    if (!PartDbPresent(db)) {
        // The values keep the texts the page starts with.
        message_ = PartDbMissingOnPageText(db);
        enabled_ = false;
        return;
    }
    enabled_ = true;
    names_ = ListParts(db);
    std::stable_sort(names_.begin(), names_.end(), AlphabeticallyBefore);
    selected_ =
        FindIgnoringCase(names_, work_.settings.part,
                         [](const std::string& name) -> const std::string& { return name; });
    if (selected_ < 0 && !names_.empty()) {
        selected_ = 0;
        Take(names_.front());
        return;
    }
    // A setting that differs only in letter case keeps its own spelling; an
    // empty database leaves it as it is, as there is nothing to put in its
    // place.
    ReadLimits();
}

void PartsPageModel::Choose(int index) {
    if (index < 0 || index >= static_cast<int>(names_.size())) return;
    selected_ = index;
    Take(names_[static_cast<std::size_t>(index)]);
}

void PartsPageModel::Take(const std::string& part) {
    work_.settings.part = part;
    if (partSelected_) partSelected_(part);
    ReadLimits();
}

void PartsPageModel::ReadLimits() {
    const std::string& db = work_.settings.partDbPath;
    const std::string& part = work_.settings.part;
    limits_.kernelStart = ReadPartKey(db, part, "KStart", "-1");
    limits_.kernelEnd = ReadPartKey(db, part, "KEnd", "-1");
    limits_.romStart = ReadPartKey(db, part, "ROMStart", "-1");
    limits_.romEnd = ReadPartKey(db, part, "ROMEnd", "-1");
}

CommsPageModel::CommsPageModel(ConfigureValues& work, PortLister listPorts)
    : SheetPageModel(work),
      listPorts_(std::move(listPorts)),
      port_(work.settings.port),
      baud_(work.settings.baud) {}

const std::vector<std::string>& CommsPageModel::BaudRates() {
    static const std::vector<std::string> rates = {"300",  "600",   "1200",  "2400",   "4800",
                                                   "9600", "19200", "38400", "115200", "230400"};
    return rates;
}

void CommsPageModel::FirstShown() {
    FillPorts();
    FillRates();
}

void CommsPageModel::FillPorts() {
    ports_.clear();
    if (listPorts_) {
        for (PortEntry& entry : listPorts_()) {
            PortChoice choice;
            choice.name = std::move(entry.name);
            choice.label = choice.name;
            choice.description = std::move(entry.description);
            choice.tip = choice.description;
            ports_.push_back(std::move(choice));
        }
    }
    selectedPort_ = FindIgnoringCase(
        ports_, port_, [](const PortChoice& c) -> const std::string& { return c.name; });
    if (selectedPort_ < 0 && !port_.empty()) {
        // The configured port is what OK stores, so the list shows it, and
        // says that it cannot be opened now, rather than pointing at another.
        PortChoice absent;
        absent.name = port_;
        absent.label = port_ + "  (not present)";
        absent.tip = port_ + " cannot be opened now";
        absent.present = false;
        ports_.push_back(std::move(absent));
        selectedPort_ = static_cast<int>(ports_.size()) - 1;
    }
}

void CommsPageModel::FillRates() {
    rates_ = BaudRates();
    selectedRate_ = FindIgnoringCase(
        rates_, baud_, [](const std::string& rate) -> const std::string& { return rate; });
    if (selectedRate_ >= 0) return;
    // A rate set elsewhere (57600 from the command line, say) stays what it
    // is and is shown as itself, among the others by value.
    auto at = rates_.end();
    std::uint32_t value = 0;
    if (ParseBaud(baud_, value)) {
        at = std::find_if(rates_.begin(), rates_.end(), [value](const std::string& rate) {
            return std::strtoull(rate.c_str(), nullptr, 10) > value;
        });
    }
    selectedRate_ = static_cast<int>(at - rates_.begin());
    rates_.insert(at, baud_);
}

void CommsPageModel::PickPort(int index) {
    // With nothing in the list there is nothing to pick, and the port stays.
    if (index < 0 || index >= static_cast<int>(ports_.size())) return;
    selectedPort_ = index;
    port_ = ports_[static_cast<std::size_t>(index)].name;
}

void CommsPageModel::PickRate(int index) {
    if (index < 0 || index >= static_cast<int>(rates_.size())) return;
    selectedRate_ = index;
    baud_ = rates_[static_cast<std::size_t>(index)];
}

void CommsPageModel::TakeBack(ConfigureValues& out) const {
    out.settings.port = port_;
    out.settings.baud = baud_;
}

ProtectionPageModel::ProtectionPageModel(ConfigureValues& work) : SheetPageModel(work) {}

void ProtectionPageModel::FirstShown() {
    const std::string& db = work_.settings.partDbPath;
    // The list still comes up, with the built-in layout.
    if (!PartDbPresent(db)) message_ = PartDbMissingOnPageText(db);
}

void ProtectionPageModel::BecameCurrent() {
    // Rebuilt for the part in force (the Parts page changes it at once) and
    // highlighted from the saved mask, whatever was highlighted before.
    lines_.clear();
    const std::uint64_t saved = work_.settings.mask;
    const auto units =
        ListProtectionUnits(BuildProtectionGroups(work_.settings.partDbPath, work_.settings.part));
    std::size_t pageLines = 0; // page lines stay above named lines
    for (const ProtectionUnit& unit : units) {
        ProtectionLine line;
        line.itemValue = (unit.bit & 31u) | (unit.highWord ? 32u : 0u);
        line.highlighted = ((saved >> MaskBit(unit)) & 1u) != 0;
        if (!unit.name.empty()) {
            line.text = unit.name;
            lines_.push_back(std::move(line));
            continue;
        }
        char text[80];
        std::snprintf(text, sizeof text, "Pages %03u-%03u (0x%05x-0x%05x)",
                      static_cast<unsigned>(unit.firstPage), static_cast<unsigned>(unit.lastPage),
                      static_cast<unsigned>(unit.start), static_cast<unsigned>(unit.end));
        line.text = text;
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(pageLines++), std::move(line));
    }
}

void ProtectionPageModel::SetHighlights(const std::vector<bool>& highlighted) {
    for (std::size_t i = 0; i < lines_.size(); ++i)
        lines_[i].highlighted = i < highlighted.size() && highlighted[i];
}

void ProtectionPageModel::HighlightAll() {
    for (ProtectionLine& line : lines_) line.highlighted = true;
}

void ProtectionPageModel::HighlightNone() {
    for (ProtectionLine& line : lines_) line.highlighted = false;
}

std::uint64_t ProtectionPageModel::MaskFromHighlights() const {
    std::uint64_t mask = 0;
    for (const ProtectionLine& line : lines_) {
        if (!line.highlighted) continue;
        const std::uint32_t value = line.itemValue;
        mask |= std::uint64_t{1} << ((value & 31u) + ((value & 32u) != 0 ? 32u : 0u));
    }
    return mask;
}

void ProtectionPageModel::TakeBack(ConfigureValues& out) const {
    if (!HasBeenShown()) return;
    out.settings.mask = MaskFromHighlights();
    // Typed text is stored as typed (an empty box gives an empty key).
    if (!keyBox_.asShown) out.settings.key0 = keyBox_.text;
}

} // namespace talvex
