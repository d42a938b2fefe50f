/*
 * json_values.h: what the JSON and JSON Lines formats share: a YAJL
 * generator printing into a TextFile, and a record as one JSON object
 * (fields by name; a repeating field as an array of its used repetitions,
 * null where one is empty; numbers as numbers; a container as an object
 * with path, type, size and name).
 */
#ifndef QUARN_EXPORT_JSON_VALUES_H
#define QUARN_EXPORT_JSON_VALUES_H

#include "format.h"
#include "text_file.h"

#include <yajl/yajl_gen.h>

#include <memory>
#include <string_view>

namespace qexport {

struct GenFreer {
    void operator()(yajl_gen gen) const { yajl_gen_free(gen); }
};
using GenPtr = std::unique_ptr<std::remove_pointer_t<yajl_gen>, GenFreer>;

/* A generator that prints into out; beautify: indented by two spaces. */
GenPtr json_generator(TextFile &out, bool beautify);

/* Calls that stop at the first failure of the generator. */
class JsonWriter {
  public:
    explicit JsonWriter(yajl_gen gen) : gen_(gen) {}
    void map_open() { check(yajl_gen_map_open(gen_)); }
    void map_close() { check(yajl_gen_map_close(gen_)); }
    void array_open() { check(yajl_gen_array_open(gen_)); }
    void array_close() { check(yajl_gen_array_close(gen_)); }
    void string(std::string_view text);
    void number(std::string_view digits) {
        if (status_ == yajl_gen_status_ok) status_ = yajl_gen_number(gen_, digits.data(), digits.size());
    }
    void integer(long long value) { check(yajl_gen_integer(gen_, value)); }
    void null() { check(yajl_gen_null(gen_)); }
    void boolean(bool value) { check(yajl_gen_bool(gen_, value)); }
    /* One cell's value. */
    void cell(const Cell &cell);
    /* One record as an object. */
    void record(const TablePlan &plan, const Record &record);
    /* The fields of a plan as an array of objects. */
    void fields(const TablePlan &plan);
    /* Clears the generator's buffer after a line (JSON Lines). */
    void reset() { yajl_gen_reset(gen_, nullptr); }
    bool ok(Failure *failure) const;

  private:
    void check(yajl_gen_status status) {
        if (status_ == yajl_gen_status_ok) status_ = status;
    }
    yajl_gen gen_;
    yajl_gen_status status_ = yajl_gen_status_ok;
};

/* Names of data types and kinds as JSON and the schema show them. */
const char *type_name(int data_type);
const char *kind_name(int kind);

} // namespace qexport

#endif
