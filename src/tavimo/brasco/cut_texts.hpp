// The earliest and latest of texts cut by [:-1], with only the chosen ones cut.
//
// get_ret_times reads the departure and arrival texts of the return legs, cuts the last
// character off each and takes min() of the one and max() of the other.  Cutting an exact
// text can neither fail nor run code, so the cut is put off until it is needed: for the text
// chosen, or for a list handed to a builtin min or max that is not the host's own.  Any
// other value is cut as it is read, where its cut can be seen.  The host's own min and max
// over exact texts, whose comparison runs no code, are done here: the first of the smallest
// (largest) texts, by code points, compared in place.
#pragma once

#include "module_frame/frame.hpp"

#include <vector>

namespace tavimo::cut_texts {

class CutTexts {
public:
    // Adds value[:-1]; false, with the error set, when cutting `value` fails.  A failure is
    // recorded at the caller's line, as the frame's operations record theirs.
    bool add(frame::Ref value, frame::Where where = frame::Where::current());

    // min(texts) by `min`, done here where that is the host's own min.
    frame::Ref earliest(PyObject* min, frame::Where where = frame::Where::current()) const;
    // max(texts) by `max`, done here where that is the host's own max.
    frame::Ref latest(PyObject* max, frame::Where where = frame::Where::current()) const;

private:
    // min(texts) (order -1) or max(texts) (order 1) by `builtin` (`builtin_is_hosts`: the
    // host's own min or max).
    frame::Ref extreme(PyObject* builtin, bool builtin_is_hosts, int order,
                       frame::Where where) const;

    struct Entry {
        frame::Ref text;  // the value read, or its cut where `cut`
        bool cut;
    };

    static Py_ssize_t length_of(const Entry& entry) noexcept;
    static int compare(const Entry& a, const Entry& b) noexcept;
    static frame::Ref cut_of(const Entry& entry, frame::Where where);
    frame::Ref as_list(frame::Where where) const;

    std::vector<Entry> entries_;
};

}  // namespace tavimo::cut_texts
