/* A small C header to try linemorph on. The release build runs
 *   linemorph --input=config.h "_MY_DEFINE" "_YOUR_DEFINE" "-#define" "};"
 * "-#define": lines holding #define are left alone;
 * "};": the line's first ';' must come after the occurrence ("}" is the
 * After condition, ";" its text).
 */
#ifndef CONFIG_H
#define CONFIG_H

#define _MY_DEFINE 4
#define BUFFER_SLOTS (_MY_DEFINE * 2)

static const int limits[] = { _MY_DEFINE, 8, 16 };
static const int retries = _MY_DEFINE;
struct window { int width; } const default_window = { _MY_DEFINE };

#if _MY_DEFINE > 2
static const char *mode_names[] = { "fast", "safe" };
#endif

#endif /* CONFIG_H */
