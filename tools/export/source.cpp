/*
 * source.cpp: the reading side of quarn export (source.h): the plan of each
 * table from the field catalogue and a scan of its records, the records
 * walk that builds one Record at a time, and the two walks of the container
 * store (the index of streams and names, then the bytes).
 */
#include "source.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <set>
#include <sys/stat.h>

namespace qexport {

namespace {

bool is_temporal(CellType type) {
    return type == CellType::date || type == CellType::time || type == CellType::timestamp;
}

Temporal temporal_of(CellType type) {
    return type == CellType::date ? Temporal::date : type == CellType::time ? Temporal::time : Temporal::timestamp;
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

/* The orders a field's values are tried in during the scan. */
constexpr std::array<DateOrder, 4> kOrders = {DateOrder::unknown, DateOrder::month_day,
                                              DateOrder::day_month, DateOrder::conflicting};

/* What the scan learns of one field. */
struct FieldScan {
    int used = 1;
    /* per order of kOrders: the first value that does not convert, and why */
    std::array<std::optional<std::pair<std::string, std::string>>, 4> failure;
    /* a number field: the first value that is not a number */
    std::optional<std::string> not_number;
};

struct ScanCtx {
    const std::vector<int> *slots; /* field index -> position in the plan */
    const std::vector<CellType> *types;
    std::vector<FieldScan> *fields;
    DateOrderEvidence *evidence;
    bool evidence_only = false;
    bool numbers = false; /* look for number fields' other values */
    int32_t last_row = 0;
    uint64_t records = 0;
    bool (*stopped)() = nullptr;
    bool interrupted = false;
};

int scan_value(const quarn_value_t *value, void *user_ctx) {
    auto &ctx = *static_cast<ScanCtx *>(user_ctx);
    if (value->row != ctx.last_row) {
        ctx.last_row = value->row;
        ctx.records++;
        if (ctx.stopped && ctx.stopped()) {
            ctx.interrupted = true;
            return QUARN_HANDLER_ABORT;
        }
    }
    const int32_t index = value->field->index;
    if (index < 0 || static_cast<size_t>(index) >= ctx.slots->size()) return QUARN_HANDLER_CONTINUE;
    const int slot = (*ctx.slots)[static_cast<size_t>(index)];
    if (slot < 0) return QUARN_HANDLER_CONTINUE;
    FieldScan &field = (*ctx.fields)[static_cast<size_t>(slot)];
    field.used = std::max(field.used, value->repetition);
    const CellType type = (*ctx.types)[static_cast<size_t>(slot)];
    if (ctx.numbers && type == CellType::number && value->text && !field.not_number &&
        !canonical_number(value->text))
        field.not_number = value->text;
    if (!is_temporal(type) || !value->text) return QUARN_HANDLER_CONTINUE;
    if (type != CellType::time) ctx.evidence->add(value->text);
    if (ctx.evidence_only) return QUARN_HANDLER_CONTINUE;
    for (size_t o = 0; o < kOrders.size(); o++) {
        if (field.failure[o]) continue;
        const ParseResult result = parse_temporal(value->text, temporal_of(type), kOrders[o]);
        if (!result.ok) field.failure[o] = std::make_pair(std::string(value->text), result.why);
    }
    return QUARN_HANDLER_CONTINUE;
}

int count_container(const quarn_container_event_t *event, void *user_ctx) {
    if (event->type == QUARN_CONTAINER_BEGIN) {
        ++*static_cast<uint64_t *>(user_ctx);
        return QUARN_HANDLER_STOP;
    }
    return QUARN_HANDLER_CONTINUE;
}

} // namespace

std::string describe_error(quarn_error_t error, int32_t block) {
    if (block > 0) {
        const std::string where = "block " + std::to_string(block);
        switch (error) {
        case QUARN_ERROR_READ: return ": changed while it was read (" + where + " no longer reads as it did)";
        case QUARN_ERROR_BAD_BLOCK: return " is damaged: " + where + " is malformed";
        case QUARN_ERROR_INCOMPLETE_CHUNK: return " is damaged: " + where + " ends inside a chunk";
        case QUARN_ERROR_UNRECOGNIZED_CODE: return " is damaged: " + where + " holds a chunk of an unknown kind";
        case QUARN_ERROR_RECORD_KEY: return ": " + where + " holds a record keyed in a form this version cannot read";
        default: break;
        }
    }
    switch (error) {
    case QUARN_OK: return ": no error";
    case QUARN_ERROR_OPEN: return ": cannot be opened";
    case QUARN_ERROR_READ: return ": too short to be a FileMaker database file";
    case QUARN_ERROR_SEEK: return ": cannot be read to its end";
    case QUARN_ERROR_MALLOC: return ": out of memory";
    case QUARN_ERROR_BAD_MAGIC: return ": not a FileMaker database file";
    case QUARN_ERROR_BAD_BLOCK: return " is damaged: a block is malformed";
    case QUARN_ERROR_BAD_SECTOR_COUNT: return " is damaged: its block count disagrees with its size";
    case QUARN_ERROR_INCOMPLETE_CHUNK: return " is damaged: a block ends inside a chunk";
    case QUARN_ERROR_UNRECOGNIZED_CODE: return " is damaged: a chunk of an unknown kind";
    case QUARN_ERROR_ICONV: return ": its text cannot be converted (no Mac Roman converter)";
    case QUARN_ERROR_USER_ABORTED: return ": the read was stopped";
    case QUARN_ERROR_RECORD_KEY: return ": holds a record keyed in a form this version cannot read";
    }
    return " is damaged (error " + std::to_string(static_cast<int>(error)) + ")";
}

int main_stream(const quarn_container_t &container) {
    static const char *const preferred[] = {"FILE", "PDF ", "PNGf", "JPEG", "GIFf", "BMPf", "SVG ", "PICT"};
    static const char *const never[] = {"SIZE", "FNAM", "DPI_", "FRM#"};
    for (const char *tag : preferred)
        for (uint32_t i = 0; i < container.stream_count; i++)
            if (memcmp(container.streams[i].tag, tag, 4) == 0) return static_cast<int>(i);
    for (uint32_t i = 0; i < container.stream_count; i++) {
        bool excluded = false;
        for (const char *tag : never) excluded = excluded || memcmp(container.streams[i].tag, tag, 4) == 0;
        if (!excluded) return static_cast<int>(i);
    }
    return -1;
}

std::string tag_text(std::string_view tag) {
    std::string out(tag.substr(0, std::min<size_t>(tag.size(), 4)));
    while (!out.empty() && (out.back() == ' ' || out.back() == '\0')) out.pop_back();
    return out;
}

std::string tag_extension(std::string_view tag) {
    static const std::pair<const char *, const char *> known[] = {
        {"JPEG", "jpg"}, {"GIFf", "gif"}, {"PNGf", "png"}, {"PICT", "pict"}, {"BMPf", "bmp"},
        {"PDF ", "pdf"}, {"SVG ", "svg"}, {"FILE", "bin"}, {"MAIN", "bin"}, {"FORK", "bin"}};
    for (const auto &[t, ext] : known)
        if (tag.substr(0, 4) == t) return ext;
    std::string ext;
    for (char c : tag_text(tag)) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        ext += (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ? c : '_';
    }
    return ext.empty() ? "bin" : ext;
}

Failure Source::read_failure(quarn_error_t error) const {
    return {display_ + describe_error(error, file_ ? quarn_failed_block(file_.get()) : 0)};
}

bool Source::open(const std::string &path, std::string *error) {
    display_ = path;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = path + ": is a folder, not a database file";
        return false;
    }
    quarn_error_t code = QUARN_OK;
    file_.reset(quarn_open_file(path.c_str(), &code));
    if (!file_) {
        *error = path + describe_error(code);
        return false;
    }
    tables_.reset(quarn_list_tables(file_.get(), &code));
    if (!tables_ || code != QUARN_OK) {
        *error = path + describe_error(code, quarn_failed_block(file_.get()));
        return false;
    }
    quarn_get_file_info(file_.get(), &facts_.info);
    const size_t slash = path.rfind('/');
    facts_.name = slash == std::string::npos ? path : path.substr(slash + 1);
    return true;
}

quarn::FieldsPtr Source::fields(const quarn_table_t &table, Failure *failure) {
    quarn_error_t code = QUARN_OK;
    quarn::FieldsPtr fields(quarn_list_fields(file_.get(), &table, &code));
    /* a failed catalogue walk means a damaged block: later walks could not
     * be trusted, so it ends the run as a failed read does */
    if (!fields || code != QUARN_OK) {
        *failure = read_failure(fields ? code : QUARN_ERROR_MALLOC);
        return nullptr;
    }
    return fields;
}

bool Source::count(const quarn_table_t &table, uint64_t *records, uint64_t *containers, Failure *failure) {
    quarn_error_t code = quarn_count_records(file_.get(), &table, records);
    if (code != QUARN_OK) {
        *failure = read_failure(code);
        return false;
    }
    *containers = 0;
    code = quarn_read_containers(file_.get(), &table, count_container, containers);
    if (code != QUARN_OK) {
        *failure = read_failure(code);
        return false;
    }
    return true;
}

bool Source::plan(const std::vector<const quarn_table_t *> &selected, const SourceOptions &options,
                  const Reporter &reporter, std::vector<TablePlan> *plans, Failure *failure) {
    options_ = options;
    plans->clear();
    DateOrderEvidence evidence;
    std::vector<std::vector<FieldScan>> scans;
    bool dated = false; /* a date or timestamp field waits for the order */

    for (const quarn_table_t *table : selected) {
        /* the library names a table that holds records but has no name in
         * the catalogue after its key */
        if (table->name == "table_" + std::to_string(table->index + 128))
            reporter.warn(display_ + ": table " + std::to_string(table->index) +
                          " has no name in the file; exported as " + quoted(table->name));
        TablePlan plan;
        plan.table = *table;
        plan.record_id = options.record_id;
        const quarn::FieldsPtr fields = this->fields(*table, failure);
        if (!fields) return false;
        UniqueNames names("_", "");
        std::vector<int> slots;
        std::vector<CellType> types;
        bool scan = false;
        for (uint64_t i = 0; i < fields->count; i++) {
            FieldPlan field;
            field.field = fields->fields[i];
            field.name = names.take(field.field.name);
            switch (field.field.data_type) {
            case QUARN_TYPE_NUMBER: field.type = options.text ? CellType::text : CellType::number; break;
            case QUARN_TYPE_DATE: field.type = options.text ? CellType::text : CellType::date; break;
            case QUARN_TYPE_TIME: field.type = options.text ? CellType::text : CellType::time; break;
            case QUARN_TYPE_TIMESTAMP: field.type = options.text ? CellType::text : CellType::timestamp; break;
            case QUARN_TYPE_CONTAINER: field.type = CellType::container; break;
            default: field.type = CellType::text; break;
            }
            scan = scan || field.field.repetitions > 1 || is_temporal(field.type) ||
                   (options.numbers_by_field && field.type == CellType::number);
            dated = dated || field.type == CellType::date || field.type == CellType::timestamp;
            const int32_t index = field.field.index;
            if (index >= 0) {
                if (static_cast<size_t>(index) >= slots.size()) slots.resize(static_cast<size_t>(index) + 1, -1);
                slots[static_cast<size_t>(index)] = static_cast<int>(plan.fields.size());
            }
            types.push_back(field.type);
            plan.fields.push_back(std::move(field));
        }
        if (options.record_id) plan.record_id_name = names.take("record_id");

        std::vector<FieldScan> field_scans(plan.fields.size());
        if (scan) {
            ScanCtx ctx{&slots, &types, &field_scans, &evidence};
            ctx.numbers = options.numbers_by_field;
            ctx.stopped = reporter.stopped;
            const quarn_error_t code = quarn_read_records(file_.get(), table, scan_value, &ctx);
            if (ctx.interrupted) {
                failure->message = "interrupted";
                return false;
            }
            if (code != QUARN_OK) {
                *failure = read_failure(code);
                return false;
            }
            plan.records = ctx.records;
            for (size_t f = 0; f < plan.fields.size(); f++) plan.fields[f].used_repetitions = field_scans[f].used;
        }
        /* the global values count as the field's values: their repetitions,
         * and whether they convert */
        if (std::any_of(plan.fields.begin(), plan.fields.end(),
                        [](const FieldPlan &f) { return f.field.global != 0; })) {
            struct GlobalScan {
                ScanCtx scan;
                uint64_t values = 0;
            } ctx{{&slots, &types, &field_scans, &evidence}};
            ctx.scan.numbers = options.numbers_by_field;
            auto handler = [](const quarn_value_t *value, void *user_ctx) -> int {
                auto &c = *static_cast<GlobalScan *>(user_ctx);
                c.values++;
                return scan_value(value, &c.scan);
            };
            const quarn_error_t code = quarn_read_globals(file_.get(), table, handler, &ctx);
            if (code != QUARN_OK) {
                *failure = read_failure(code);
                return false;
            }
            plan.globals = ctx.values != 0;
            for (size_t f = 0; f < plan.fields.size(); f++) plan.fields[f].used_repetitions = field_scans[f].used;
        }
        scans.push_back(std::move(field_scans));
        plans->push_back(std::move(plan));
    }

    /* The other tables may tell the order where the selected ones do not. */
    if (dated && evidence.order() == DateOrder::unknown) {
        for (uint64_t t = 0; t < tables_->count && evidence.order() == DateOrder::unknown; t++) {
            const quarn_table_t &table = tables_->tables[t];
            if (std::any_of(selected.begin(), selected.end(),
                            [&](const quarn_table_t *s) { return s->index == table.index; }))
                continue;
            const quarn::FieldsPtr fields = this->fields(table, failure);
            if (!fields) return false;
            std::vector<int> slots;
            std::vector<CellType> types;
            for (uint64_t i = 0; i < fields->count; i++) {
                const int type = fields->fields[i].data_type;
                const int32_t index = fields->fields[i].index;
                if ((type != QUARN_TYPE_DATE && type != QUARN_TYPE_TIMESTAMP) || index < 0) continue;
                if (static_cast<size_t>(index) >= slots.size()) slots.resize(static_cast<size_t>(index) + 1, -1);
                slots[static_cast<size_t>(index)] = static_cast<int>(types.size());
                types.push_back(type == QUARN_TYPE_DATE ? CellType::date : CellType::timestamp);
            }
            if (types.empty()) continue;
            std::vector<FieldScan> field_scans(types.size());
            ScanCtx ctx{&slots, &types, &field_scans, &evidence, true};
            ctx.stopped = reporter.stopped;
            const quarn_error_t code = quarn_read_records(file_.get(), &table, scan_value, &ctx);
            if (ctx.interrupted) {
                failure->message = "interrupted";
                return false;
            }
            if (code != QUARN_OK) {
                *failure = read_failure(code);
                return false;
            }
        }
    }
    order_ = evidence.order();
    const size_t order_slot = static_cast<size_t>(std::find(kOrders.begin(), kOrders.end(), order_) - kOrders.begin());

    for (size_t t = 0; t < plans->size(); t++) {
        TablePlan &plan = (*plans)[t];
        for (size_t f = 0; f < plan.fields.size(); f++) {
            FieldPlan &field = plan.fields[f];
            if (field.type == CellType::number && scans[t][f].not_number) {
                field.type = CellType::text;
                reporter.warn(display_ + ": table " + quoted(plan.table.name) + ", field " + quoted(field.field.name) +
                              " kept its text: " + quoted(*scans[t][f].not_number) + " is not a number");
                continue;
            }
            if (!is_temporal(field.type)) continue;
            const auto &failed = scans[t][f].failure[order_slot];
            if (!failed) continue;
            field.type = CellType::text;
            reporter.warn(display_ + ": table " + quoted(plan.table.name) + ", field " + quoted(field.field.name) +
                          " kept its text: " + quoted(failed->first) + " " + failed->second);
        }
    }
    return true;
}

Source::KeyBytes Source::key_bytes(const quarn_container_key_t &key) {
    return KeyBytes(reinterpret_cast<const char *>(key.bytes), std::min<uint32_t>(key.size, QUARN_CONTAINER_KEY_MAX));
}

bool Source::index_containers(const quarn_table_t &table, std::map<KeyBytes, ContainerEntry> *index,
                              Failure *failure) {
    struct Ctx {
        std::map<KeyBytes, ContainerEntry> *index;
    } ctx{index};
    auto handler = [](const quarn_container_event_t *event, void *user_ctx) -> int {
        auto &c = *static_cast<Ctx *>(user_ctx);
        if (event->type != QUARN_CONTAINER_BEGIN) return QUARN_HANDLER_STOP;
        const quarn_container_t &container = *event->container;
        const KeyBytes key = key_bytes(container.key);
        if (c.index->count(key) != 0) return QUARN_HANDLER_STOP; /* the first of a key is the one used */
        ContainerEntry entry;
        entry.main = main_stream(container);
        if (entry.main >= 0) {
            const quarn_stream_t &stream = container.streams[entry.main];
            entry.tag.assign(stream.tag, strnlen(stream.tag, 4));
            entry.size = stream.length;
            entry.damaged = stream.damaged != 0;
        }
        if (container.name) entry.name = container.name;
        c.index->emplace(key, std::move(entry));
        return QUARN_HANDLER_STOP;
    };
    const quarn_error_t code = quarn_read_containers(file_.get(), &table, handler, &ctx);
    if (code != QUARN_OK) {
        *failure = read_failure(code);
        return false;
    }
    return true;
}

namespace {

/* Everything the records walk of one table needs. */
struct WalkCtx {
    const TablePlan *plan;
    Format *format;
    const Reporter *reporter;
    std::vector<int> slots;
    Record record;
    /* a record has begun and is not written yet: every record the library
     * hands over is written, also one without values (its cells empty) */
    bool pending = false;
    Failure failure;
    bool failed = false;
    uint64_t records = 0, bytes = 0;
    DateOrder order = DateOrder::unknown;
    std::function<void(const quarn_value_t &, Cell &)> set_container;
    /* writes a text longer than cell_characters to its file */
    size_t cell_characters = 0;
    std::function<bool(const quarn_value_t &, size_t, Cell &)> set_long_text;
    std::vector<uint64_t> beyond; /* per field: values past used_repetitions */
    /* per field of type number: the values that are not numbers, and the
     * first of them */
    std::vector<uint64_t> not_numbers;
    std::vector<std::string> first_not_number;
    /* the table's global values, written into every record: the fields
     * that have one, and their cells */
    std::vector<size_t> global_slots;
    Record globals;
};

void clear_record(Record &record) {
    for (auto &cells : record.fields)
        for (Cell &cell : cells) {
            cell.type = CellType::null;
            cell.text.clear();
            cell.file.clear();
        }
}

bool flush(WalkCtx &ctx) {
    if (ctx.reporter->stopped && ctx.reporter->stopped()) {
        ctx.failure.message = "interrupted";
        ctx.failed = true;
        return false;
    }
    if (!ctx.pending) return true;
    for (size_t slot : ctx.global_slots) ctx.record.fields[slot] = ctx.globals.fields[slot];
    if (!ctx.format->write_record(ctx.record, &ctx.failure)) {
        ctx.failed = true;
        return false;
    }
    ctx.records++;
    if ((ctx.records & 1023) == 0 && ctx.reporter->progress)
        ctx.reporter->progress(ctx.plan->table.name, ctx.records, ctx.bytes);
    clear_record(ctx.record);
    ctx.pending = false;
    return true;
}

int walk_value(const quarn_value_t *value, void *user_ctx) {
    auto &ctx = *static_cast<WalkCtx *>(user_ctx);
    if (value->row != ctx.record.row) {
        if (!flush(ctx)) return QUARN_HANDLER_ABORT;
        ctx.record.row = value->row;
        ctx.record.record_id = value->record_id;
        ctx.pending = true;
    }
    /* a record without values comes as one value of field 0, which no
     * slot holds */
    const int32_t index = value->field->index;
    if (index < 0 || static_cast<size_t>(index) >= ctx.slots.size()) return QUARN_HANDLER_CONTINUE;
    const int slot = ctx.slots[static_cast<size_t>(index)];
    if (slot < 0) return QUARN_HANDLER_CONTINUE;
    const FieldPlan &field = ctx.plan->fields[static_cast<size_t>(slot)];
    auto &cells = ctx.record.fields[static_cast<size_t>(slot)];
    if (value->repetition < 1 || value->repetition > field.used_repetitions) {
        ctx.beyond[static_cast<size_t>(slot)]++;
        return QUARN_HANDLER_CONTINUE;
    }
    Cell &cell = cells[static_cast<size_t>(value->repetition) - 1];
    if (!value->text) {
        cell.type = CellType::null;
        cell.text.clear();
        if (value->container_key.size != 0 && field.type == CellType::container) ctx.set_container(*value, cell);
        return QUARN_HANDLER_CONTINUE;
    }
    cell.text.assign(value->text);
    ctx.bytes += cell.text.size();
    unify_line_breaks(cell.text);
    switch (field.type) {
    case CellType::number:
        if (make_canonical_number(cell.text)) {
            cell.type = CellType::number;
        } else {
            cell.type = CellType::text;
            const size_t slot_index = static_cast<size_t>(slot);
            if (ctx.not_numbers[slot_index]++ == 0) ctx.first_not_number[slot_index] = cell.text;
        }
        break;
    case CellType::date:
    case CellType::time:
    case CellType::timestamp: {
        const Temporal kind = temporal_of(field.type);
        const ParseResult parsed = parse_temporal(cell.text, kind, ctx.order);
        if (parsed.ok) {
            cell.type = field.type;
            cell.moment = parsed.value;
            cell.text = iso_text(parsed.value, kind);
        } else {
            cell.type = CellType::text;
        }
        break;
    }
    default: cell.type = CellType::text; break;
    }
    cell.file.clear();
    if (cell.type == CellType::text && ctx.cell_characters != 0 && cell.text.size() > ctx.cell_characters &&
        character_count(cell.text) > ctx.cell_characters && !ctx.set_long_text(*value, static_cast<size_t>(slot), cell))
        return QUARN_HANDLER_ABORT;
    return QUARN_HANDLER_CONTINUE;
}

} // namespace

bool Source::export_table(const TablePlan &plan, Format &format, ContainerFileSink *files,
                          const Reporter &reporter, Failure *failure) {
    const quarn_table_t &table = plan.table;
    const bool has_containers = std::any_of(plan.fields.begin(), plan.fields.end(),
                                            [](const FieldPlan &f) { return f.type == CellType::container; });
    std::map<KeyBytes, ContainerEntry> index;
    if (has_containers && !index_containers(table, &index, failure)) return false;

    /* folders of this table's files: those of the container fields first,
     * in field order; a text field's when its first long text comes */
    const bool write_files = options_.files_prefix.has_value() && files != nullptr;
    std::string table_folder;
    std::vector<std::string> field_folders(plan.fields.size());
    UniqueNames field_names("~", "");
    auto folder_of = [&](size_t f) -> std::string {
        if (table_folder.empty())
            table_folder = table_folders_.take(safe_file_name(table.name, "table " + std::to_string(table.index)));
        if (field_folders[f].empty())
            field_folders[f] = field_names.take(
                safe_file_name(plan.fields[f].field.name, "field " + std::to_string(plan.fields[f].field.index)));
        return table_folder + "/" + field_folders[f];
    };
    if (has_containers && write_files)
        for (size_t f = 0; f < plan.fields.size(); f++)
            if (plan.fields[f].type == CellType::container) folder_of(f);
    /* one file name per row and repetition, as container files have */
    auto file_stem = [](const quarn_value_t &value) {
        /* a global value (row 0) has one file for every record */
        std::string stem = value.row == 0 ? "globals" : std::to_string(value.row);
        if (value.repetition > 1) stem += "-" + std::to_string(value.repetition);
        return stem;
    };
    std::vector<uint64_t> long_texts(plan.fields.size(), 0);

    std::map<KeyBytes, std::vector<std::string>> references; /* key -> file paths */
    std::set<KeyBytes> stored;                               /* keys whose bytes the format keeps */
    std::vector<uint64_t> missing(plan.fields.size(), 0);

    WalkCtx ctx;
    ctx.plan = &plan;
    ctx.format = &format;
    ctx.reporter = &reporter;
    ctx.order = order_;
    ctx.beyond.assign(plan.fields.size(), 0);
    ctx.not_numbers.assign(plan.fields.size(), 0);
    ctx.first_not_number.assign(plan.fields.size(), std::string());
    ctx.record.fields.resize(plan.fields.size());
    for (size_t f = 0; f < plan.fields.size(); f++) {
        ctx.record.fields[f].resize(static_cast<size_t>(std::max(1, plan.fields[f].used_repetitions)));
        const int32_t idx = plan.fields[f].field.index;
        if (idx < 0) continue;
        if (static_cast<size_t>(idx) >= ctx.slots.size()) ctx.slots.resize(static_cast<size_t>(idx) + 1, -1);
        ctx.slots[static_cast<size_t>(idx)] = static_cast<int>(f);
    }
    ctx.set_container = [&](const quarn_value_t &value, Cell &cell) {
        const size_t slot = static_cast<size_t>(ctx.slots[static_cast<size_t>(value.field->index)]);
        const KeyBytes key = key_bytes(value.container_key);
        const auto found = index.find(key);
        if (found == index.end() || found->second.main < 0) {
            missing[slot]++;
            return;
        }
        ContainerEntry &entry = found->second;
        if (entry.damaged) {
            if (!entry.warned)
                reporter.warn(display_ + ": table " + quoted(table.name) + ", field " + quoted(value.field->name) +
                              ", row " + std::to_string(value.row) + ": the container is damaged and was skipped");
            entry.warned = true;
            return;
        }
        cell.type = CellType::container;
        cell.container.key = value.container_key;
        cell.container.tag = entry.tag;
        cell.container.size = entry.size;
        cell.container.name = entry.name;
        cell.container.path.clear();
        if (write_files) {
            std::string file = file_stem(value);
            file += entry.name.empty() ? "." + tag_extension(entry.tag) : "_" + safe_file_name(entry.name, "file");
            const std::string relative = folder_of(slot) + "/" + file;
            cell.container.path = *options_.files_prefix + "/" + relative;
            references[key].push_back(relative);
        }
        if (format.stores_containers()) stored.insert(key);
    };

    if (write_files) ctx.cell_characters = options_.cell_characters;
    ctx.set_long_text = [&](const quarn_value_t &value, size_t slot, Cell &cell) {
        const std::string relative = folder_of(slot) + "/" + file_stem(value) + ".txt";
        const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t *>(cell.text.data()), cell.text.size());
        if (!files->begin({relative}, &ctx.failure) || !files->piece(bytes, &ctx.failure) ||
            !files->end(&ctx.failure)) {
            ctx.failed = true;
            return false;
        }
        cell.file = *options_.files_prefix + "/" + relative;
        cell.text.clear();
        long_texts[slot]++;
        return true;
    };

    /* The global values, converted as the records' values are (row 0
     * never starts a record). The records of a format that keeps
     * container bytes in its cells leave a global container out: one
     * copy, with the globals, rather than one per record. */
    if (plan.globals) {
        const quarn_error_t code = quarn_read_globals(file_.get(), &table, walk_value, &ctx);
        if (ctx.failed) {
            *failure = ctx.failure;
            return false;
        }
        if (code != QUARN_OK) {
            *failure = read_failure(code);
            return false;
        }
        ctx.globals = ctx.record;
        clear_record(ctx.record);
        for (size_t f = 0; f < plan.fields.size(); f++) {
            const auto &cells = ctx.globals.fields[f];
            const bool held =
                std::any_of(cells.begin(), cells.end(), [](const Cell &c) { return c.type != CellType::null; });
            if (held && !(plan.fields[f].type == CellType::container && format.stores_containers()))
                ctx.global_slots.push_back(f);
        }
    }

    if (!format.begin_table(plan, failure)) return false;
    if (plan.globals && !format.write_globals(ctx.globals, failure)) return false;
    if (reporter.progress) reporter.progress(table.name, 0, 0);
    const quarn_error_t code = quarn_read_records(file_.get(), &table, walk_value, &ctx);
    if (ctx.failed) {
        *failure = ctx.failure;
        return false;
    }
    if (code != QUARN_OK) {
        *failure = read_failure(code);
        return false;
    }
    if (!flush(ctx)) {
        *failure = ctx.failure;
        return false;
    }
    if (reporter.progress) reporter.progress(table.name, ctx.records, ctx.bytes);

    for (size_t f = 0; f < plan.fields.size(); f++) {
        const std::string where = display_ + ": table " + quoted(table.name) + ", field " + quoted(plan.fields[f].field.name);
        if (ctx.not_numbers[f] == 1)
            reporter.warn(where + ": 1 value is not a number and stayed text (first: " +
                          quoted(ctx.first_not_number[f]) + ")");
        else if (ctx.not_numbers[f] != 0)
            reporter.warn(where + ": " + std::to_string(ctx.not_numbers[f]) +
                          " values are not numbers and stayed text (first: " + quoted(ctx.first_not_number[f]) + ")");
        if (ctx.beyond[f] != 0)
            reporter.warn(where + ": " + std::to_string(ctx.beyond[f]) +
                          " values of repetitions the field does not declare were left out");
        const auto &note = reporter.note ? reporter.note : reporter.warn;
        if (long_texts[f] == 1)
            note(where + ": 1 text longer than a cell holds was written to a file");
        else if (long_texts[f] != 0)
            note(where + ": " + std::to_string(long_texts[f]) + " texts longer than a cell holds were written to files");
        if (missing[f] != 0)
            reporter.warn(where + ": " + std::to_string(missing[f]) +
                          " references to containers that the file does not hold were left empty");
    }

    if (!references.empty() || !stored.empty()) {
        struct BytesCtx {
            const std::map<KeyBytes, std::vector<std::string>> *references;
            const std::set<KeyBytes> *stored;
            ContainerFileSink *files;
            Format *format;
            int main = -1;
            bool to_files = false, to_format = false;
            Failure failure;
            bool failed = false;
            uint64_t bytes = 0;
            std::set<KeyBytes> done; /* a key met again in the store is passed over */
            bool (*stopped)() = nullptr;
        } bytes_ctx{&references, &stored, files, &format, -1, false, false, {}, false, 0, {}, reporter.stopped};
        auto handler = [](const quarn_container_event_t *event, void *user_ctx) -> int {
            auto &c = *static_cast<BytesCtx *>(user_ctx);
            const quarn_container_t &container = *event->container;
            if (c.stopped && c.stopped()) {
                c.failure.message = "interrupted";
                c.failed = true;
                return QUARN_HANDLER_ABORT;
            }
            if (event->type == QUARN_CONTAINER_BEGIN) {
                const KeyBytes key = key_bytes(container.key);
                const auto refs = c.references->find(key);
                c.to_files = refs != c.references->end();
                c.to_format = c.stored->count(key) != 0;
                c.main = main_stream(container);
                if (!c.done.insert(key).second) c.to_files = c.to_format = false;
                if (c.main < 0 || container.streams[c.main].damaged || (!c.to_files && !c.to_format)) {
                    c.to_files = c.to_format = false;
                    return QUARN_HANDLER_STOP;
                }
                if (c.to_files && !c.files->begin(refs->second, &c.failure)) return c.failed = true, QUARN_HANDLER_ABORT;
                if (c.to_format && !c.format->begin_container(container.key, container.streams[c.main].length, &c.failure))
                    return c.failed = true, QUARN_HANDLER_ABORT;
                return QUARN_HANDLER_CONTINUE;
            }
            if (event->type == QUARN_CONTAINER_DATA) {
                if (static_cast<int>(event->stream) != c.main) return QUARN_HANDLER_CONTINUE;
                const std::span<const uint8_t> piece(event->bytes.start, static_cast<size_t>(event->bytes.size));
                c.bytes += piece.size();
                if (c.to_files && !c.files->piece(piece, &c.failure)) return c.failed = true, QUARN_HANDLER_ABORT;
                if (c.to_format && !c.format->container_piece(event->offset, piece, &c.failure))
                    return c.failed = true, QUARN_HANDLER_ABORT;
                return QUARN_HANDLER_CONTINUE;
            }
            if (c.to_files && !c.files->end(&c.failure)) return c.failed = true, QUARN_HANDLER_ABORT;
            if (c.to_format && !c.format->end_container(&c.failure)) return c.failed = true, QUARN_HANDLER_ABORT;
            c.to_files = c.to_format = false;
            return QUARN_HANDLER_CONTINUE;
        };
        const quarn_error_t rc = quarn_read_containers(file_.get(), &table, handler, &bytes_ctx);
        if (bytes_ctx.failed) {
            *failure = bytes_ctx.failure;
            return false;
        }
        if (rc != QUARN_OK) {
            *failure = read_failure(rc);
            return false;
        }
    }
    return format.end_table(failure);
}

} // namespace qexport
