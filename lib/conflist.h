#ifndef TORPOR_CONFLIST_H
#define TORPOR_CONFLIST_H

/*
 * key=value settings held in a singly linked list behind a head node (index
 * 0, empty key). Keys are unique and keep the position of their first set;
 * nodes are only appended. Every key and value is a heap copy owned by its node.
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ConfNode {
    uint32_t index;
    char *key;
    char *value;
    struct ConfNode *next;
} ConfNode;

/* A new list: its head node; null when memory runs short. */
ConfNode *conf_list_new(void);

/* A node with copies of key and value; index and next are the caller's.
 * Null when memory runs short. */
ConfNode *conf_node_new(const char *key, const char *value);

/* The last node reached from node; null for null. */
ConfNode *conf_list_last(ConfNode *node);

/* First node from list on whose key equals key; null if none or no list. */
ConfNode *conf_list_find(ConfNode *list, const char *key);

/* The value stored for key, or a static empty string. */
const char *conf_list_get(ConfNode *list, const char *key);

/* Sets key to a copy of value. 0, or -1 for a null list or when memory runs
 * short; the list is then as it was, an old value kept. */
int conf_list_set(ConfNode *list, const char *key, const char *value);

/* Releases one node that no list reaches any more; null is ignored. */
void conf_node_free(ConfNode *node);

/* Releases every node from list on to the end: given its head, the whole
 * list. Null is ignored. */
void conf_list_free(ConfNode *list);

/* Sets every key=value line of text (null counts as empty); stops at a line
 * that memory runs short for. Always 0. */
int conf_list_parse(ConfNode *list, const char *text);

/* Loads a settings file, leaving out comment lines ('#', '\\', ';' in the
 * first column). 0, or -1 when the file cannot be sized or read (the list is
 * unchanged) or memory runs short (the lines before the one that it ran
 * short for stay set). */
int conf_list_load(ConfNode *list, const char *path);

#ifdef __cplusplus
}
#endif

#endif
