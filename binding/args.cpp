#include "binding/args.h"

#include <cstring>
#include <string>
#include <vector>

#include "binding/error.h"
#include "binding/ref.h"

namespace bind::detail {
namespace {

// The keyword as str() renders it; used only in the error message.
std::string keyword_text(PyObject* key) {
    Ref s(PyObject_Str(key));
    if (s) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &size);
        if (utf8 != nullptr) return std::string(utf8, static_cast<size_t>(size));
    }
    PyErr_Clear();
    return {};
}

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += (i + 1 == names.size()) ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

}  // namespace

void bind_arguments(const char* function, const char* const* params, std::size_t n,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** slots) {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (given > static_cast<Py_ssize_t>(n)) {
        throw PyError::type_error(std::string(function) + "() takes " + std::to_string(n) +
                                  " positional arguments but " + std::to_string(given) +
                                  " were given");
    }
    for (Py_ssize_t i = 0; i < given; ++i) slots[i] = args[i];

    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
        if (name == nullptr) PyErr_Clear();
        std::size_t j = n;
        if (name != nullptr) {
            for (j = 0; j < n; ++j) {
                if (std::strlen(params[j]) == static_cast<size_t>(size) &&
                    std::memcmp(params[j], name, static_cast<size_t>(size)) == 0)
                    break;
            }
        }
        if (j == n) {
            throw PyError::type_error(std::string(function) + "() got an unexpected keyword argument '" +
                                      keyword_text(key) + "'");
        }
        if (slots[j] != nullptr) {
            throw PyError::type_error(std::string(function) + "() got multiple values for argument '" +
                                      params[j] + "'");
        }
        slots[j] = args[given + k];
    }

    if (given < static_cast<Py_ssize_t>(n)) {
        std::vector<const char*> missing;
        for (std::size_t j = 0; j < n; ++j)
            if (slots[j] == nullptr) missing.push_back(params[j]);
        if (!missing.empty()) {
            throw PyError::type_error(std::string(function) + "() missing " +
                                      std::to_string(missing.size()) + " required positional " +
                                      (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                      quoted_list(missing));
        }
    }
}

}  // namespace bind::detail

namespace bind {

void throw_prefixed(const char* name, const PyError& error) {
    throw PyError::type_error("argument '" + std::string(name) + "': " + error.message_text());
}

}  // namespace bind
