/* Compiled as C: every public header of the library, used from C. */
#include "conflist.h"
#include "errlog.h"
#include "fileutil.h"
#include "plock.h"
#include "share.h"
#include "text.h"
#include "textsel.h"

#include <stdlib.h>
#include <string.h>

#include "c_interface.h"

static int text_calls(void)
{
    char text[] = "port 1\n# c\nkey=v=w\n";
    char dst[sizeof text + 2];
    const char *line = text_find_keyword_line(text, "port", 3);
    int failures = 0;

    failures += text_count_lines(text) != 3;
    failures += text_next_line(text) != text + 7;
    failures += text_is_word_char(text, 1) != -1 || text_is_ident_char(" ") != 0;
    failures += text_in_symbol_set("-", 2) != 1 || skip_blanks("  x", 5)[0] != 'x';
    failures += text_copy_line(dst, 10, text) != text + 7;
    filter_lines(dst, text, "#");
    failures += strcmp(dst, "port 1\nkey=v=w\n") != 0;
    failures += line != text || text_collect_keyword_lines(dst, text, "key") != text + 11;
    failures += text_collect_keyword_lines_set(dst, text, "port", 2) != text;
    failures += text_extract_column(dst, text, '\n', ' ', 2) != 0 || strcmp(dst, "1\nc\n") != 0;
    failures += text_split_key_value(dst, text, '=', 3) != dst || strcmp(dst, "w\n") != 0;
    failures +=
        text_remove_char(text, '\n') != 0 || strcmp(text_to_upper(text), "PORT 1# CKEY=V=W");
    return failures;
}

static int file_and_settings_calls(const char *dir)
{
    char path[256];
    char buf[16];
    char *block = NULL;
    int length = 0;
    ConfNode *list = conf_list_new();
    char *sorted = NULL;
    int failures = 0;

    strcpy(path, dir);
    strcat(path, "/c.conf");
    failures += dir_check(dir) != 0 || file_write(path, "a=1\n;x\n", 7) != 0;
    failures += file_append(path, "b=2\n", 4) != 0 || file_size(path) != 11;
    failures += file_read(buf, path, 3) != 0 || strcmp(buf, "a=1") != 0;
    failures += file_read_all(path, &block, &length) != 0 || length != 11;
    free(block);
    failures += conf_list_load(list, path) != 0 || strcmp(conf_list_get(list, "b"), "2") != 0;
    failures += conf_list_set(list, "c", "3") != 0 || conf_list_find(list, "c")->index != 3;
    failures += conf_list_last(list)->next != NULL || conf_list_parse(list, "d=4") != 0;
    conf_list_free(list);
    failures += exec_command("true") != 0 || mount_is_mounted("/") != 1;
    failures += CnvPermission("group") != 1 || CnvPlace("usbp5") != 5;
    failures += sortOutBuffer("b\na\n", &sorted) != 0 || strcmp(sorted, "a\nb\n") != 0;
    free(sorted);
    free(mem_realloc(mem_alloc(4), 8));
    return failures;
}

int c_interface_run(const char *dir)
{
    char prog[] = "c-caller";
    char *words[] = {prog};
    ShareEntry entry = {"name", "hda"};
    int failures = 0;

    failures += errlog_open(1, words) != 0;
    failures += errlog_write(2, 5, "from C %s, errno=%d\n", entry.name, 2) != 0;
    failures += errlog_trace("%s\n", entry.place) != 0;
    failures += plock_close(-1) != -1;
    failures += text_calls();
    failures += file_and_settings_calls(dir);
    errlog_close();
    return failures;
}
