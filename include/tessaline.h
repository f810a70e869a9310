#ifndef TESSALINE_H
#define TESSALINE_H
/*
 * Kestrelion Tessaline: removes dirt from the studio backdrop of portraits.
 *
 * A host creates one engine with createInstance(), hands it images held in
 * memory or image files, and destroys it with clearInstance(). Calls on one
 * instance must not overlap. Every function returns only when its work is
 * done; none lets an exception escape.
 *
 * Memory images are width x height pixels of four floats (R, G, B, A in 0..1),
 * rows top first, no padding. The alpha of the input is ignored.
 */
#include <stdbool.h>
#include <wchar.h>

#if defined(__GNUC__)
#define TESSALINE_API __attribute__((visibility("default")))
#else
#define TESSALINE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Progress during the network run: (engine, percent done 0..100). */
typedef void (*TessalineProgress)(void* engine, float percent);

/* Result codes of the processing functions. */
enum TessalineResult {
    TESSALINE_OK = 0,
    TESSALINE_BAD_SIZE = 1,           /* width/height 0 or the copy cannot be allocated; also "applied" for showPluginWithImage */
    TESSALINE_IMAGE_REFUSED = 2,      /* the engine refused the image */
    TESSALINE_INPUT_UNREADABLE = 3,   /* processImageFromFile: the input could not be loaded */
    TESSALINE_FOLDER_FAILED = 4,      /* processImageFromFile: the output folder could not be created */
    TESSALINE_FOLDER_ONLY = 5,        /* processImageFromFile: the output path is a folder; it now exists, nothing processed */
    TESSALINE_SAVE_FAILED = 6,        /* processImageFromFile: the result could not be written */
    TESSALINE_EXCEPTION = 20,         /* processImageFromMemory: failure inside processing */
    TESSALINE_NO_OUTPUT = 21,         /* processImageFromMemory: the engine produced no image */
    TESSALINE_EDIT_EXCEPTION = 23,    /* showPluginWithImage: failure inside the editor */
    TESSALINE_EDIT_NOT_APPLIED = 24   /* showPluginWithImage: the editor ended without applying (or cannot open) */
};

/* A new engine with its networks loaded, or NULL (the reason is printed). */
TESSALINE_API void* createInstance(void);
/* Destroys an engine; NULL does nothing. */
TESSALINE_API void clearInstance(void* instance);
/* 1019 for version 1.019. */
TESSALINE_API int getPluginVersion(void);
/* Applies settings such as {"Alpha1":1.0,"Automask":false,"Layer":0,"Scale":3};
 * 0 on success, -1 when the text is not JSON or a value has the wrong type. */
TESSALINE_API int setSettingsFromJson(void* instance, const char* json);
/* Writes the settings as NUL-terminated JSON, cut to size - 1 bytes. */
TESSALINE_API void getSettingsInJson(void* instance, char* buffer, int size);
/* Profile attached to saved files; length 0 removes it. */
TESSALINE_API void setIccProfile(void* instance, const void* data, unsigned int length);
/* Cleans the image in place. */
TESSALINE_API int processImageFromMemory(void* instance, float* pixels, unsigned int width, unsigned int height,
                                         TessalineProgress progress);
/* Cleans inputPath and writes the result. outputPath: a file (contains '.'),
 * a folder (made to exist, nothing processed), or empty for
 * <input folder>/Retouched/<name>_retouched<ext>. Paths are wide strings,
 * converted as UTF-8. scale: 1 coarse, 2 medium, 3 fine; strength 1 = full. */
TESSALINE_API int processImageFromFile(void* instance, const wchar_t* inputPath, const wchar_t* outputPath, int scale,
                                       bool saveOption, TessalineProgress progress, float strength,
                                       float secondStrength);
/* Opens the editor on the image; 1 when the user applied, 0 when closed. */
TESSALINE_API int showPluginWithImage(void* instance, const float* pixels, unsigned int width, unsigned int height);

#ifdef __cplusplus
}
#endif

#endif
