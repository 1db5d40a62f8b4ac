// Every name, message, docstring and traceback line number that callers of
// zelvane.bake can see, kept together so that none is spelled twice.
// Plain constants: usable from the interpreter-free code as well.
#pragma once

namespace zelvane::texts {

// ---- Names and places --------------------------------------------------------

inline constexpr const char module_name[] = "bake";
inline constexpr const char module_qualified_name[] = "zelvane.bake";
inline constexpr const char file_name[] = "zelvane/bake";
inline constexpr const char init_entry_name[] = "init zelvane.bake";

inline constexpr const char param_center[] = "center";
inline constexpr const char param_gap[] = "gap";
inline constexpr const char param_prob[] = "prob";

// ---- Traceback line numbers ------------------------------------------------

namespace line {
inline constexpr int module_init = 1;
inline constexpr int import_numpy = 14;
inline constexpr int fitgapmass = 18;
inline constexpr int fitgapmass_scratch = 26;
inline constexpr int fitgapmass_zero_width = 31;
inline constexpr int fitgapmass_meh = 94;
inline constexpr int meh_gsum = 100;
inline constexpr int meh_low = 101;
inline constexpr int meh_high = 102;
inline constexpr int meh_zero_width = 107;
}  // namespace line

// ---- Docstrings ------------------------------------------------------------

#define ZELVANE_DOC_FITGAPMASS                                                                     \
    "Given bin centers this outputs the probabilities (into prob) of a piecewise linear PDF "      \
    "(Zelvane) using those centers such that the probability mass between each pair of centers " \
    "is as given in the gap array, which is of length one less than center/prob."

inline constexpr const char doc_fitgapmass[] = ZELVANE_DOC_FITGAPMASS;
inline constexpr const char doc_fitgapmass_meh[] =
    ZELVANE_DOC_FITGAPMASS
    " This version solves the problem exactly... but then suffers from accidental hedgehog. "
    "Have dropped for now, as a basic solver, while not as precise, gives a more reasonable "
    "result and this isn't my focus at this time.";

#undef ZELVANE_DOC_FITGAPMASS

// ---- Import ----------------------------------------------------------------

inline constexpr const char interpreter_change[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.";
inline constexpr const char reinitialisation[] =
    "Module 'bake' has already been imported. Re-initialisation is not supported.";
inline constexpr const char name_not_defined[] = "name '%U' is not defined";

// ---- Argument binding ------------------------------------------------------

inline constexpr const char count_error[] =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char unexpected_keyword[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char multiple_values[] = "%s() got multiple values for keyword argument '%U'";
inline constexpr const char keywords_not_strings_named[] = "%.200s() keywords must be strings";
inline constexpr const char keywords_not_strings[] = "keywords must be strings";

// ---- Buffer conversion -----------------------------------------------------

inline constexpr const char element_name[] = "float";
inline constexpr const char wrong_dimensions[] =
    "Buffer has wrong number of dimensions (expected %d, got %d)";
inline constexpr const char wrong_item_size[] =
    "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)";
inline constexpr const char suboffsets_without_strides[] = "Buffer exposes suboffsets but no strides";
inline constexpr const char no_direct_access[] =
    "Buffer not compatible with direct access in dimension %d.";

// Format check.
inline constexpr const char big_endian[] = "Big-endian buffer not supported on little-endian compiler";
inline constexpr const char unexpected_format_char[] = "Unexpected format string character: '%c'";
inline constexpr const char expected_brace[] = "Buffer acquisition: Expected '{' after 'T'";
inline constexpr const char unknown_format_char[] =
    "Does not understand character buffer dtype format string ('%c')";
inline constexpr const char dtype_mismatch[] = "Buffer dtype mismatch, expected %s%s%s but got %s";
inline constexpr const char offset_mismatch[] =
    "Buffer dtype mismatch; next field is at offset %zd but %zd expected";
inline constexpr const char repeated_array[] = "Cannot handle repeated arrays in format string";
inline constexpr const char expected_comma[] = "Expected a comma in format string, got '%c'";
inline constexpr const char wrong_subarray_dims[] = "Expected %d dimension(s), got %d";
inline constexpr const char unclosed_subarray[] = "Unexpected end of format string, expected ')'";

// ---- Solvers ---------------------------------------------------------------

inline constexpr const char float_division[] = "float division";

// Calls whose vector lengths do not fit together are refused before anything
// is read or written.
inline constexpr const char needs_at_least_one[] = "%s has %lld element%s, needs at least 1";
inline constexpr const char needs_at_least[] = "%s has %lld element%s, needs at least %lld (%s)";
inline constexpr const char needs_exactly[] = "%s has %lld element%s, needs exactly %lld (%s)";
inline constexpr const char scratch_length[] =
    "numpy.empty(%lld, dtype=numpy.float32) gave %lld element%s";
inline constexpr const char len_gap_plus_one[] = "len(gap) + 1";
inline constexpr const char len_prob_minus_one[] = "len(prob) - 1";

// ---- Import-time compatibility checks --------------------------------------

inline constexpr const char version_mismatch[] =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";
inline constexpr const char does_not_match[] = "does not match";
inline constexpr const char numpy_import_failed[] =
    "numpy.core.multiarray failed to import (auto-generated because you didn't call "
    "'numpy.import_array()' after cimporting numpy; use '<void>numpy._import_array' to disable "
    "if you are certain you don't need it).";
inline constexpr const char not_a_type[] = "%.200s.%.200s is not a type object";
inline constexpr const char size_too_small[] =
    "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C "
    "header, got %zd from PyObject";
inline constexpr const char size_grew[] =
    "%s.%s size changed, may indicate binary incompatibility. Expected %zd from C header, got "
    "%zd from PyObject";

}  // namespace zelvane::texts
