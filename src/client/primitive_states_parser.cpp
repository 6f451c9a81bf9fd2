#include "client/primitive_states_parser.hpp"

#include <locale>
#include <sstream>
#include <stdexcept>

#include "rpc/c_numbers.hpp"

namespace orbalt::kvt_impl {

namespace {

constexpr const char* kMalformedEntry =
    "[orbalt::kvt::Client::primitive_states] Malformed primitive state entry";
constexpr const char* kMissingMarker =
    "[orbalt::kvt::Client::primitive_states] Malformed primitive states: missing jointGroup marker";
constexpr const char* kUnknownGroup =
    "[orbalt::kvt::Client::primitive_states] Received primitive states for unknown joint group";
constexpr const char* kDuplicateGroup =
    "[orbalt::kvt::Client::primitive_states] Duplicate primitive states for a joint group";
constexpr const char* kMissingNames =
    "[orbalt::kvt::Client::primitive_states] Malformed primitive states: jointGroup or "
    "primitiveName missing";
constexpr const char* kInconsistentGroup =
    "[orbalt::kvt::Client::primitive_states] Inconsistent joint group in primitive states";

constexpr const char* kMarker = "jointGroup";
constexpr const char* kPrimitiveName = "primitiveName";

bool IsInteger(const std::string& word) {
  std::size_t i = word[0] == '-' ? 1 : 0;
  if (i == word.size()) return false;
  for (; i < word.size(); ++i) {
    if (word[i] < '0' || word[i] > '9') return false;
  }
  return true;
}

// The streams read in the classic locale, whatever std::locale::global the host has set.
std::istringstream ClassicStream(const std::string& text) {
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  return in;
}

bool ReadsWholeAsReal(const std::string& word) {
  std::istringstream in = ClassicStream(word);
  double value = 0;
  in >> value;
  return !in.fail() && (in.eof() || in.peek() == std::char_traits<char>::eof());
}

}  // namespace

std::variant<int, double, std::string> TypePrimitiveValue(const std::string& value_text) {
  std::istringstream in = ClassicStream(value_text);
  std::string word;
  if (!(in >> word)) return std::string();
  if (IsInteger(word)) return StoiC(word);
  if (ReadsWholeAsReal(word)) return StodC(word);
  return word;
}

std::map<kvt::JointGroup, kvt::PrimitiveStates> ParsePrimitiveStates(
    const std::vector<std::string>& entries,
    const std::map<kvt::JointGroup, std::string>& joint_groups) {
  // Grouping: each marker opens the section of its joint group.
  std::map<kvt::JointGroup, std::vector<std::string>> sections;
  kvt::JointGroup current = kvt::JointGroup::UNKNOWN;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string& entry = entries[i];
    if (entry.compare(0, 10, kMarker) == 0) {
      const auto eq = entry.find('=');
      if (eq == std::string::npos) throw std::runtime_error(kMalformedEntry);
      current = static_cast<kvt::JointGroup>(StoiC(entry.substr(eq + 1)));
      if (joint_groups.count(current) == 0) throw std::runtime_error(kUnknownGroup);
      if (sections.count(current) != 0) throw std::runtime_error(kDuplicateGroup);
      sections[current] = {entry};
    } else {
      if (i == 0) throw std::runtime_error(kMissingMarker);
      sections[current].push_back(entry);
    }
  }

  // Parsing: name=value pairs, the first occurrence of a name wins.
  std::map<kvt::JointGroup, kvt::PrimitiveStates> result;
  for (const auto& [group, section] : sections) {
    std::map<std::string, std::variant<int, double, std::string>> values;
    for (const auto& entry : section) {
      const auto eq = entry.find('=');
      if (eq == std::string::npos || eq == 0) throw std::runtime_error(kMalformedEntry);
      values.emplace(entry.substr(0, eq), TypePrimitiveValue(entry.substr(eq + 1)));
    }
    const auto marker = values.find(kMarker);
    const auto name = values.find(kPrimitiveName);
    if (marker == values.end() || name == values.end()) throw std::runtime_error(kMissingNames);
    if (std::get<int>(marker->second) != static_cast<int>(group)) {
      throw std::runtime_error(kInconsistentGroup);
    }
    kvt::PrimitiveStates states;
    states.pt_name = std::get<std::string>(name->second);
    values.erase(kMarker);
    values.erase(kPrimitiveName);
    states.names_and_values = std::move(values);
    result[group] = std::move(states);
  }
  return result;
}

}  // namespace orbalt::kvt_impl
