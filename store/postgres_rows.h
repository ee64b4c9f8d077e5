// Rows of the store in PostgreSQL's statements and results: the patterns of a load and the
// detections of a batch written together (multi-row statements instead of round trips a row),
// detections read back.
#ifndef SIGPAT_STORE_POSTGRES_ROWS_H
#define SIGPAT_STORE_POSTGRES_ROWS_H

#include <cstddef>
#include <string>
#include <vector>

#include "postgres_wire.h"
#include "store.h"

namespace sigpat::store {

// Rows a statement (8 parameters each; a statement takes at most 65535).
constexpr std::size_t kPatternsPerStatement = 500;

// A statement may touch a row once: rows with the same content hash merged, in the order of
// their first appearance, as writing them one after the other would leave the row (the later
// name, the later positive duration, the later non-empty catalogue fields).
std::vector<PatternRow> MergePatternRows(const std::vector<PatternRow>& rows);

// INSERT of `rows` patterns ($1..$8 the first: content hash, name, duration, spot ID,
// advertiser, campaign, version, title; $9.. the next), updating those stored (catalogue fields
// given once are kept when a later load gives none), RETURNING content_hash, id of each.
std::string InsertPatternsSql(std::size_t rows);

// A statement and its parameters.
struct Statement {
  std::string sql;
  pg::Params params;
};

// Detections a statement (20 parameters each).
constexpr std::size_t kDetectionsPerStatement = 1000;

// The statements that write `rows` (their keys set; at most kDetectionsPerStatement): the
// stations and the patterns they name, made on first use (a pattern with the name of its first
// detection), then the detections in their order (ids ascending as they come), a key already
// stored or given twice left as it is, RETURNING detection_key, id of those written.
std::vector<Statement> InsertDetectionStatements(const std::vector<DetectionRow>& rows);

// SELECT detection_key, id of the detections with `keys`.
Statement SelectDetectionIds(const std::vector<std::string>& keys);

// The filter's conditions (not its paging) on the tables of kSelectDetections (d, s, p)
// appended to sql, their values to params (numbered after those already there).
void FilterSql(const DetectionFilter& f, std::string& sql, pg::Params& params);

// Row i of a result whose columns are those of kSelectDetections (postgres_store.cpp): id, key,
// station label, pattern hash and name, begin/end sample, seconds and UTC, clock, rule,
// confidence, distance, threshold, seen, match, evidence, json, stored.
DetectionRow DetectionAt(const pg::Result& r, int i);

}  // namespace sigpat::store

#endif
