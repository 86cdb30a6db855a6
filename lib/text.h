#ifndef TORPOR_TEXT_H
#define TORPOR_TEXT_H

/*
 * Primitives over text buffers: NUL-terminated byte texts of lines separated
 * by '\n', the last line possibly without one. Bytes compare as unsigned
 * values; blanks are space and tab only. No state, no allocation.
 * Operations that fill dst make it empty first; dst never overlaps the text.
 */

#ifdef __cplusplus
extern "C" {
#endif

/* Upper-cases the text in place; returns it (null for null). */
char *text_to_upper(char *text);

/* Number of newlines; 1 for a non-empty text without any; 0 for null/empty. */
int text_count_lines(const char *text);

/* Removes every byte equal to the low 8 bits of ch (0 removes nothing). 0. */
int text_remove_char(char *text, int ch);

/* Start of the next line, or the terminating NUL when there is none. */
const char *text_next_line(const char *text);

/* 1 if *at is in symbol set 1 "-_", 2 "!&-_{}", any other "_"; else 0. */
int text_in_symbol_set(const char *at, int symbol_set);

/* -1 if *at is a letter, a digit or in the symbol set; else 0. */
int text_is_word_char(const char *at, int symbol_set);

/* -1 if *at is a letter, a digit or '_'; else 0. */
int text_is_ident_char(const char *at);

/* First byte among the first max_len that is not a blank; text + max_len if
 * all are blanks; text itself if max_len <= 0. */
const char *skip_blanks(const char *text, int max_len);

/* Copies at most max_len bytes (a NUL is copied like any byte). After a
 * newline, terminates dst and returns the start of the next line; otherwise
 * returns null with no terminator added. dst holds max_len + 1 bytes. */
const char *text_copy_line(char *dst, int max_len, const char *text);

/* Copies into dst the lines whose first byte is not in chars.
 * dst holds strlen(text) + 1 bytes. */
void filter_lines(char *dst, const char *text, const char *chars);

#ifdef __cplusplus
}
#endif

#endif
