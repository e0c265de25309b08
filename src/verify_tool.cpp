// The result checker: reads the whole subgraph output file first, so that a malformed record stops
// the check before any statistics file is read, then runs the embedding verifier once per record.
#include "verify_tool.h"

#include <cstdint>
#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "embedding_check.h"
#include "fatal_error.h"
#include "key_table.h"
#include "line_reader.h"
#include "string_split.h"
#include "text_number.h"

namespace {

struct VerifySettings {
  std::string subgraphPath = "subgraphs";
  std::string statsPath = "stats";
};

// The same key=value rules as the matching tool: split at "=", other arguments are ignored with a
// warning.
KeyTable verifyKeys(VerifySettings* settings) {
  std::vector<Key> keys{
      // "subgraph", singular, as for sgmatch, although the default file is "subgraphs".
      {"subgraph", "subgraphs", "the subgraph output file of the run to check", "a path",
       [settings](const std::string& value, std::string*) {
         settings->subgraphPath = value;
         return std::string();
       }},
      {"stats", "stats", "the statistics directory of that run", "a path",
       [settings](const std::string& value, std::string*) {
         settings->statsPath = value;
         return std::string();
       }},
  };
  return KeyTable("sgmatch-verify", "[subgraph=PATH] [stats=DIR]",
                  "Checks the results of a finished sgmatch run: for every record of the subgraph output file, "
                  "the query's statistics file is checked for embeddings that cover the same data edges as an "
                  "earlier one. Exit status 0 when no file holds duplicates, 1 when some do, 255 when a file "
                  "cannot be read or is malformed.",
                  std::move(keys), "Example:\n  sgmatch-verify subgraph=subgraphs stats=stats\n");
}

// The keys of a record's six lines, in order.
const char* const recordKeys[6] = {"#", "T", "E", "S", "C", "F"};

// The counts of the record being read, from its header line.
struct RecordCounts {
  int vertices = 0;
  int edges = 0;
};

std::string fieldsText(size_t count) { return std::to_string(count) + (count == 1 ? " field" : " fields"); }

// Takes the pairs of a record's edge line into its adjacency; the problem found, or an empty string.
std::string takeEdgeLine(const std::vector<std::string>& tokens, const RecordCounts& counts, SubgraphRecord* record) {
  // Every edge is listed at both of its ends: two pairs, four fields.
  const size_t fieldCount = tokens.size() - 1;
  if (fieldCount != 4 * static_cast<size_t>(counts.edges)) {
    return "the edge line has " + fieldsText(fieldCount) + ", " + std::to_string(counts.edges) + " edges need " +
           std::to_string(4 * static_cast<int64_t>(counts.edges));
  }
  for (size_t f = 1; f + 1 < tokens.size(); f += 2) {
    const int i = parseInt32(tokens[f]);
    const int j = parseInt32(tokens[f + 1]);
    for (int id : {i, j}) {
      if (id < 0 || id >= counts.vertices) {
        return "vertex id " + std::to_string(id) + " on the edge line is out of range (the record has " +
               std::to_string(counts.vertices) + " vertices)";
      }
    }
    record->adjacency[i].push_back(j);
  }
  return "";
}

// Takes line `position` (0 to 5) of a record, split at tabs into its key and fields; the problem
// found, or an empty string when the line is well formed.
std::string takeRecordLine(int position, const std::vector<std::string>& tokens, SubgraphRecord* record,
                           RecordCounts* counts) {
  if (tokens.empty() || tokens[0] != recordKeys[position]) {
    return std::string("expected the \"") + recordKeys[position] + "\" line (line " + std::to_string(position + 1) +
           " of a record), found " + (tokens.empty() ? "an empty line" : "the key \"" + tokens[0] + "\"");
  }
  const size_t fieldCount = tokens.size() - 1;
  switch (position) {
    case 0:
      if (fieldCount != 3) return "the header line needs 3 fields (query, vertices, edges), found " + fieldsText(fieldCount);
      record->queryNumber = parseInt32(tokens[1]);
      counts->vertices = parseInt32(tokens[2]);
      counts->edges = parseInt32(tokens[3]);
      if (counts->vertices < 0) return "negative vertex count " + std::to_string(counts->vertices);
      if (counts->edges < 0) return "negative edge count " + std::to_string(counts->edges);
      return "";
    case 1:
      if (fieldCount != static_cast<size_t>(counts->vertices)) {
        return std::to_string(fieldCount) + " labels for " + std::to_string(counts->vertices) + " vertices";
      }
      // The labels line holds one field per vertex, so these rows cost no more than the line itself.
      record->adjacency.assign(counts->vertices, {});
      return "";
    case 2:
      return takeEdgeLine(tokens, *counts, record);
    case 3:
    case 5:
      if (fieldCount != 1) {
        return std::string("the \"") + recordKeys[position] + "\" line needs 1 field, found " + fieldsText(fieldCount);
      }
      return "";
    default:  // the colours are not needed for the check
      return "";
  }
}

// The outcome of checking one record's statistics file.
struct QueryCheck {
  int queryNumber = 0;
  std::string statsFile;
  bool readable = false;
  EmbeddingCounts counts;
};

int verifyRun(const VerifySettings& settings) {
  std::vector<SubgraphRecord> records;
  if (!readSubgraphRecords(settings.subgraphPath.c_str(), &records)) return -1;

  // A missing or unreadable statistics file does not stop the check: the other records are still
  // checked and summarised, and the exit status reports the failure.
  std::vector<QueryCheck> checks;
  checks.reserve(records.size());
  for (const SubgraphRecord& record : records) {
    QueryCheck check;
    check.queryNumber = record.queryNumber;
    check.statsFile = settings.statsPath + "/" + std::to_string(record.queryNumber);
    std::cout << "checking " << check.statsFile << " (query " << record.queryNumber << ")" << std::endl;
    check.readable = checkEmbeddings(record.adjacency, check.statsFile.c_str(), &check.counts);
    checks.push_back(std::move(check));
  }

  int withDuplicates = 0;
  bool unreadable = false;
  for (const QueryCheck& check : checks) {
    std::cout << "query " << check.queryNumber;
    if (!check.readable) {
      unreadable = true;
      std::cout << "\tcannot read " << check.statsFile << std::endl;
      continue;
    }
    std::cout << "\tembeddings read: " << check.counts.read << "\tunique: " << check.counts.unique;
    if (check.counts.duplicates > 0) {
      ++withDuplicates;
      std::cout << " [duplicates]";
    }
    if (check.counts.tooShort > 0) std::cout << " [" << check.counts.tooShort << " short lines skipped]";
    std::cout << std::endl;
  }
  std::cout << "queries with duplicate embeddings: " << withDuplicates << std::endl;
  if (unreadable) return -1;
  return withDuplicates > 0 ? 1 : 0;
}

}  // namespace

bool readSubgraphRecords(const char* path, std::vector<SubgraphRecord>* records) {
  records->clear();
  LineReader reader;
  if (!reader.open(path)) {
    std::cout << "cannot open " << path << std::endl;
    return false;
  }
  SubgraphRecord record;
  RecordCounts counts;
  int position = 0;  // line of the current record, 0 to 5
  std::string text;
  std::vector<std::string> tokens;
  std::string_view line;
  LineReader::Status status;
  while ((status = reader.next(&line)) == LineReader::Status::line) {
    if (position == 0) {
      record = SubgraphRecord();
      record.line = reader.lineNumber();
    }
    text.assign(line.data(), line.size());
    SplitStringUsing(text, "\t", &tokens);
    const std::string problem = takeRecordLine(position, tokens, &record, &counts);
    if (!problem.empty()) {
      std::cout << path << ":" << reader.lineNumber() << ": " << problem << std::endl;
      return false;
    }
    if (++position == 6) {
      records->push_back(std::move(record));
      position = 0;
    }
  }
  if (status == LineReader::Status::error) {
    std::cout << "cannot read " << path << " after line " << reader.lineNumber() << ": "
              << errorText(reader.error()) << std::endl;
    return false;
  }
  if (position != 0) {
    std::cout << path << ":" << reader.lineNumber() << ": the record starting on line " << record.line
              << " ends after " << position << " of its six lines" << std::endl;
    return false;
  }
  return true;
}

int runVerify(int argc, char** argv) {
  VerifySettings settings;
  const KeyTable keys = verifyKeys(&settings);
  switch (keys.apply(argc, argv, std::cerr)) {
    case CommandLineRequest::help:
      std::cout << keys.usage() << std::flush;
      return 0;
    case CommandLineRequest::version:
      std::cout << "sgmatch-verify " << toolVersion() << std::endl;
      return 0;
    case CommandLineRequest::error:
      return -1;
    case CommandLineRequest::run:
      break;
  }
  try {
    return verifyRun(settings);
  } catch (const std::bad_alloc&) {
    std::cout << "sgmatch-verify: out of memory" << std::endl;
    return -1;
  }
}
