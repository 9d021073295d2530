// Command texts from the web UI, as one queue message: split into fields,
// echoed, and applied to the records loaded from the factory database.
// Operator actions that pause, start threads, reach the network or end the
// service (relays, 1-Wire search wait, mail and trap tests, session policy,
// system actions, simulation) stay out; their parsing is the same.
#include <algorithm>
#include <cstring>

#include "command.h"
#include "common.h"
#include "harness.h"
#include "platform.h"

namespace {

void setup(const std::string& root) { fuzz_setup_from_factory_db(root); }

// Every save request names a kind the writer knows and an entry inside it;
// returns how many there were.
int check_saves(const std::string& text)
{
    int saves = 0;
    while (!db_save.empty()) {
        const std::string m = db_save.front();
        db_save.pop();
        int kind = 0, index = 0;
        if (!parse_save_message(m, &kind, &index)) fuzz_fail("save message " + m + " for " + text);
        const int entries = kind_entries(kind);
        if (entries <= 0 || (index != SAVE::WHOLE && (index < 0 || index >= entries)))
            fuzz_fail("save message " + m + " outside its section, for " + text);
        ++saves;
    }
    return saves;
}

int feed(const uint8_t* data, size_t size)
{
    fuzz_restore_records();
    // msgrcv hands over at most MSG_TEXT_MAX bytes; a longer text is refused whole.
    if (size > MSG_TEXT_MAX) return FUZZ_REFUSED;
    const char* text = reinterpret_cast<const char*>(data);
    fields_echo(text, size);
    const std::vector<std::string> f = split_fields(text, size);
    if (f.size() > CMD_MAX_FIELDS) fuzz_fail("more fields than the channel keeps");
    for (const std::string& v : f)
        if (v.size() > CMD_FIELD_MAX) fuzz_fail("a field longer than the channel keeps");
    const int cmd = field_num(f, 0);
    // A settings command is taken when it asked for a save.
    int taken = FUZZ_REFUSED;
    if (!apply_settings_command(f) && cmd == 59) {
        const std::string block = session_block(field_text(f, 1), field_text(f, 2), field_text(f, 3));
        if (!block.empty()) {
            // Only the three session lines may come out of the values.
            if (std::count(block.begin(), block.end(), '\n') != 3) fuzz_fail("session block of more lines: " + block);
            merge_session_block("A=1\nSESSION_COOKIE_AGE=1\nSESSION_EXPIRE_AT_BROWSER_CLOSE=1\nB=2\n", block);
            taken = FUZZ_TAKEN;
        }
    }
    fuzz_check_texts("command text");
    if (check_saves(std::string(text, size)) > 0) taken = FUZZ_TAKEN;
    return taken;
}

}  // namespace

extern const FuzzHarness COMMAND_TEXT_HARNESS{"command_text", setup, feed, 2100, true};
