// Parsing key=value arguments against a table, and the texts made from the table.
#include "key_table.h"

#include <algorithm>
#include <climits>
#include <sstream>
#include <utility>

#include "string_split.h"
#include "text_number.h"

#ifndef SGMATCH_VERSION
#define SGMATCH_VERSION "unknown"
#endif

namespace {

// The edit distance of two short names, for suggesting the key a misspelt one was meant to be.
size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Wraps `text` at `width` columns, every line after the first indented by `indent` spaces.
std::string wrapped(const std::string& text, size_t width, size_t indent) {
  std::istringstream words(text);
  std::string word, out, line;
  while (words >> word) {
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      out += line + "\n" + std::string(indent, ' ');
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  return out + line;
}

}  // namespace

const char* toolVersion() { return SGMATCH_VERSION; }

KeyTable::KeyTable(std::string programName, std::string synopsisText, std::string descriptionText,
                   std::vector<Key> keys, std::string detailsText)
    : program(std::move(programName)),
      synopsis(std::move(synopsisText)),
      description(std::move(descriptionText)),
      details(std::move(detailsText)),
      table(std::move(keys)) {}

const Key* KeyTable::find(const std::string& name) const {
  for (const Key& key : table) {
    if (key.name == name) return &key;
  }
  return nullptr;
}

std::string KeyTable::closestKey(const std::string& name) const {
  std::string lowered = name;
  std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) { return std::tolower(c); });
  while (!lowered.empty() && lowered[0] == '-') lowered.erase(0, 1);
  std::string best;
  size_t bestDistance = 3;  // farther than two edits is no suggestion
  for (const Key& key : table) {
    const size_t distance = editDistance(lowered, key.name);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = key.name;
    }
  }
  return best;
}

CommandLineRequest KeyTable::apply(int argc, char** argv, std::ostream& warnings) const {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") return CommandLineRequest::help;
    if (argument == "--version") return CommandLineRequest::version;
  }
  return applyKeys(argc, argv, warnings);
}

CommandLineRequest KeyTable::applyKeys(int argc, char** argv, std::ostream& warnings) const {
  bool refused = false;
  std::vector<std::string> tokens;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    SplitStringUsing(argument, "=", &tokens);
    const Key* key = tokens.empty() ? nullptr : find(tokens[0]);
    if (tokens.size() < 2 || key == nullptr) {
      std::string why;
      if (tokens.empty()) {
        why = "it holds no key";
      } else if (key != nullptr) {
        why = "the key " + tokens[0] + " has no value";
      } else if (argument.find('=') == std::string::npos) {
        why = "arguments are key=value";
      } else {
        why = "there is no key \"" + tokens[0] + "\"";
      }
      const std::string suggestion = key == nullptr && !tokens.empty() ? closestKey(tokens[0]) : "";
      if (!suggestion.empty()) why += "; did you mean " + suggestion + "=?";
      warnings << program << ": warning: ignoring argument \"" << argument << "\": " << why << " (see " << program
               << " --help)" << std::endl;
      continue;
    }
    std::string warning;
    const std::string error = key->apply(tokens[1], &warning);
    if (!error.empty()) {
      warnings << program << ": " << key->name << "=" << tokens[1] << ": " << error << std::endl;
      refused = true;
      continue;
    }
    if (tokens.size() > 2) {
      warnings << program << ": warning: in \"" << argument << "\" the value of " << key->name << " ends at the second \"=\": "
               << key->name << " is " << tokens[1] << std::endl;
    }
    if (!warning.empty()) warnings << program << ": warning: " << warning << std::endl;
  }
  return refused ? CommandLineRequest::error : CommandLineRequest::run;
}

std::string KeyTable::usage() const {
  std::string text = "Usage: " + program + " " + synopsis + "\n\n" + wrapped(description, 100, 0) + "\n\nKeys:\n";
  size_t width = 0;
  for (const Key& key : table) width = std::max(width, key.name.size() + 1 + key.defaultText.size());
  for (const Key& key : table) {
    const std::string head = key.name + "=" + key.defaultText;
    text += "  " + head + std::string(width + 2 - head.size(), ' ');
    text += wrapped(key.meaning + " [" + key.parsing + "]", 96 - width, width + 4) + "\n";
  }
  text += "\nArguments are key=value; a later one overrides an earlier one. --help or -h prints this text,\n"
          "--version the version.\n";
  if (!details.empty()) text += "\n" + details;
  return text;
}

std::string KeyTable::markdown() const {
  std::string text = "| key | default | meaning |\n|---|---|---|\n";
  for (const Key& key : table) {
    text += "| `" + key.name + "` | " + (key.defaultText.empty() ? "" : "`" + key.defaultText + "`") + " | " +
            key.meaning + " [" + key.parsing + "] |\n";
  }
  return text;
}

int64_t lenientNumber(const std::string& key, const std::string& value, int64_t minimum, int64_t maximum,
                      std::string* warning) {
  const int64_t parsed = parseLong(value);
  int64_t exact = 0;
  if (!strictNumber(value, minimum, maximum, &exact)) {
    *warning = key + "=" + value + " is not a whole number from " + std::to_string(minimum) + " to " +
               std::to_string(maximum) + "; it is read as " + std::to_string(parsed);
  }
  return parsed;
}

bool strictNumber(const std::string& text, int64_t minimum, int64_t maximum, int64_t* value) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-' && minimum < 0;
  if (negative) i = 1;
  if (i == text.size() || text.size() - i > 19) return false;
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (negative ? magnitude > uint64_t{1} << 63 : magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
  const int64_t number = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  if (number < minimum || number > maximum) return false;
  *value = number;
  return true;
}
