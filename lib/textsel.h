#ifndef TORPOR_TEXTSEL_H
#define TORPOR_TEXTSEL_H

/*
 * Line selection by keyword, column extraction and key/value splitting over
 * the text buffers of text.h. Results that point into text point into the
 * caller's source, never into dst. Separators use only their low 8 bits.
 */

#ifdef __cplusplus
extern "C" {
#endif

/* First line that begins (after blanks) with keyword as a whole word under
 * symbol_set; points at the line's first byte. Null when none. */
const char *text_find_keyword_line(const char *text, const char *keyword, int symbol_set);

/* Appends to dst every matching line from its keyword on; returns the keyword
 * in the first matching line, or null. Word characters: letters, digits, '_'.
 * dst holds strlen(text) + 1 bytes. */
const char *text_collect_keyword_lines(char *dst, const char *text, const char *keyword);

/* As text_collect_keyword_lines, with the word characters of symbol_set. */
const char *text_collect_keyword_lines_set(char *dst, const char *text, const char *keyword,
                                           int symbol_set);

/* Appends field `column` (from 1) of every record, each followed by "\n".
 * dst holds strlen(text) + 2 bytes. Always 0. */
int text_extract_column(char *dst, const char *text, int record_sep, int field_sep, int column);

/* Appends the key (mode 1), the value (mode 2 and others), or the value after
 * the second (mode 3) or third (mode 4) separator of every line, each followed
 * by "\n". dst when a line held the separator, else null.
 * dst holds strlen(text) + 1 bytes. */
char *text_split_key_value(char *dst, const char *text, int separator, int mode);

#ifdef __cplusplus
}
#endif

#endif
