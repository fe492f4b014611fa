/*
 * lumo_install: what an installer needs from the server machine's own code.
 * It edits the server configuration file, tells whether a port is free and
 * whether a domain name points at this machine, fetches a URL, and converts
 * text between the machine's legacy charset and UTF-8.
 *
 * Texts are NUL-terminated byte strings; a null pointer counts as the empty
 * text. Configuration keys and values are UTF-8, as in the file; the legacy
 * charset is named by the environment variable LUMO_ANSI_CHARSET (an iconv
 * name such as "GBK"), UTF-8 when it is unset.
 *
 * Results in text come back by one copy-out rule. The caller passes a
 * buffer and a pointer to its capacity in bytes; for a result of n bytes:
 *   - a capacity of 0 or below, or a null buffer: nothing is written and the
 *     length becomes 0;
 *   - n + 1 bytes fit: the n bytes and a NUL are written, the length is n;
 *   - otherwise the first capacity - 1 bytes and a NUL are written and the
 *     length is capacity - 1: the result is cut without notice.
 * A null length pointer gets nothing written at all.
 *
 * No function throws or ends the caller's process on bad input: a null
 * handle, a file that will not load, a port out of range or a URL that
 * cannot be read gives the failure result described with each function.
 * The library keeps no state besides the configurations it hands out, and
 * its functions may be called from any thread (one configuration from one
 * thread at a time).
 */
#ifndef LUMO_INSTALL_H
#define LUMO_INSTALL_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#define LUMO_INSTALL_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* A loaded configuration file, owned by the caller until delete_config. */
typedef struct lumo_config lumo_config;

/* Loads and checks the configuration file at `path` (legacy-charset text,
 * relative to the current directory or absolute). Null when the file cannot
 * be read, is not well-formed XML, or is not a configuration the media
 * server would start with (no domain, a domain without names or path). */
LUMO_INSTALL_API lumo_config* load_config_file(const char* path);

/* Writes the configuration back to the file it was loaded from, in one step:
 * a reader sees the old file or the new one. False when `config` is null,
 * when the media server or the supervisor would refuse to start with the
 * configuration as changed (the file is left as it was), or when the file
 * cannot be written. The supervisor's checks apply to a file that has
 * config.lumo.path: the path not empty, its administration address and port,
 * and every value its children's configuration files take (ports from 1 to
 * 65535; no control characters, '"' or '\' in texts). */
LUMO_INSTALL_API bool save_config_file(lumo_config* config);

/* The text at a dotted key from the document root ("config.qen.rtmp.port"),
 * or `default_value` when there is none or `config` is null. */
LUMO_INSTALL_API void get_config(lumo_config* config, const char* key, const char* default_value,
                                 char* buffer, int32_t* length);

/* Puts `value` at a dotted key, making the elements it lacks. Nothing
 * happens when `config` is null or the key has a part that is not an XML
 * element name. Nothing reaches the file before save_config_file. */
LUMO_INSTALL_API void set_config(lumo_config* config, const char* key, const char* value);

/* Releases a configuration; null is allowed. */
LUMO_INSTALL_API void delete_config(lumo_config* config);

/* True when a socket may bind 0.0.0.0:`port` (TCP, or UDP when `udp`) at
 * this moment. Ports outside 1 to 65535 give false. No address reuse is
 * asked for, so a TCP port that still has connections closing reports busy. */
LUMO_INSTALL_API bool test_port(int32_t port, bool udp);

/* True when `host` resolves to an address of this machine: one its host name
 * resolves to, 127.0.0.1, or an address of one of its interfaces. */
LUMO_INSTALL_API bool test_domain(const char* host);

/* Reads an http:// or file:// URL. An HTTP answer must have a 2xx status;
 * up to 5 redirects are followed, and a server that stops sending for 30
 * seconds fails the read. The body is read in blocks of 1024 bytes until it
 * ends or more bytes are held than the capacity, then copied out by the rule
 * above (with an unsigned capacity). False on any failure, with the buffer
 * and the length left untouched. */
LUMO_INSTALL_API bool url_get(const char* url, char* buffer, uint32_t* length);

/* Percent-encodes every byte from 0x00 to 0x20 and from 0x7F to 0xFF and
 * each of # % & + / = ? and the backslash, with upper-case digits. */
LUMO_INSTALL_API void url_encode(const char* text, char* buffer, int32_t* length);

/* Legacy charset to UTF-8 and back. A character the target lacks becomes
 * "?" (U+FFFD on the way in); an unknown charset gives the empty text. */
LUMO_INSTALL_API void ansi_to_utf8(const char* text, char* buffer, int32_t* length);
LUMO_INSTALL_API void utf8_to_ansi(const char* text, char* buffer, int32_t* length);

#ifdef __cplusplus
}
#endif

#endif /* LUMO_INSTALL_H */
