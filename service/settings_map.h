// One field map per configuration record. Each field says where it lives
// in the record, which database column the settings writer sets, which
// column the loader reads, where it stands in a settings-file row and in the
// command that sets it. Command parsing, settings loading, the UPDATE
// statements and the settings files are all loops over these maps.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "settings_table.h"

namespace SETTINGS_MAP {

enum class Type : unsigned char { Text, Int, Bool };

constexpr signed char NONE = -1;

struct Field {
    const char* name;       // the record's field, for messages
    Type type;
    unsigned short offset;  // within the record
    unsigned short size;    // capacity of a text with its NUL
    const char* column;     // column the settings writer sets (nullptr: never saved)
    signed char load;       // column the loader reads, counted from id = 0 (NONE: not loaded)
    signed char file;       // position in a settings-file row after the element number (NONE: not in the file)
    signed char cmd;        // command field, counted from the record's first field (NONE: no command sets it)
    bool stored_as_text;    // the writer stores this number as a text
};

struct Record {
    const Field* fields;
    int count;
    size_t stride;            // size of one element
    signed short changeflg;   // offset of changeflg (NONE: the record has none)
};

using Records = std::pair<SETTINGS_TABLE::Sensor_settings*, SETTINGS_TABLE::Admin_settings*>;

// One section of the configuration: an array of records, its table and its
// settings-writer kind.
struct Section {
    int save;            // SAVE:: kind of its db_save messages
    const char* table;   // database table
    const Record* record;
    char* (*first)(const Records&);  // element 0
    int entries;
    int first_id;        // row id of entry 0 in the writer's statements
    int skip_rows;       // rows the loader passes over before entry 0
    const char* lead;    // written before "UPDATE" (the trend statement's leading blank)
};

// The section of a settings-writer kind or of a table; nullptr when none.
const Section* section_of_save(int save);
const Section* section_of_table(const std::string& table);
// Every section, in the loader's table order.
const std::vector<const Section*>& sections();

char* element(const Section& s, const Records& r, int i);
inline char* element(const Section& s, int i)
{
    return element(s, {&sensor_settings, &admin_settings}, i);
}
void mark_changed(const Section& s, char* elem, bool changed);

// Field access on one element.
int get_int(const char* elem, const Field& f);
std::string get_text(const char* elem, const Field& f);
void set_int(char* elem, const Field& f, int v);
// Copies text, cut to the field's capacity on a character boundary.
void set_text(char* elem, const Field& f, const std::string& v);

// The writer's UPDATE of one entry, with its values bound in order.
using Value = std::variant<int, std::string>;
struct Statement {
    std::string sql;
    std::vector<Value> values;
};
Statement update_statement(const Section& s, const Records& r, int i);

// How a command reaches a section's records: one record (numbered by
// field 1, or the only one), or groups of `width` fields from `first`.
enum class Index : unsigned char {
    single,        // the one record of the section; fields counted from 0
    numbered,      // record number (1-based) in field 1; fields counted from 0
    group,         // group k sets entry k
    group_number,  // the group's first field holds the entry number (1-based)
    group_index,   // the group's first field holds the entry index (0-based)
};
struct Command {
    int cmd;
    int save;            // the section set
    Index index;
    int first;           // field where group 0 starts (group commands)
    int width;           // fields per group
    int groups;          // groups a command can carry
    bool hundredths;     // numbers given in whole units with decimals, stored × 100
    bool push;           // queue the section's save
    bool needs_first;    // without its first group the command is refused
};
const Command* command_layout(int cmd);

// The text of command c that sets entry i of its section, as the web UI
// writes it: value(e, f) is field f of entry e in the command's form. A
// command of positional groups (Index::group) carries entries 0 to i, as
// every group it reaches sets its entry; fields no map names are empty.
std::string command_text(const Command& c, int i, const std::function<std::string(int, const Field&)>& value);

}  // namespace SETTINGS_MAP
