// tavimo.questions: the questions asked before a flight search, as records for the
// PyInquirer prompt, with the validators that check each answer and the filters that turn
// passenger counts into integers.
#include "module_frame/frame.hpp"
#include "module_frame/handling.hpp"
#include "module_frame/ops.hpp"

#include <utility>

namespace {

using frame::CachedBuiltin;
using frame::Constant;
using frame::Global;
using frame::Ref;
using frame::Where;

// ---------------------------------------------------------------------------------------
// Constants

Constant k_re("re");
Constant k_inquirer_package("PyInquirer");
Constant k_Validator("Validator");
Constant k_ValidationError("ValidationError");
Constant k_author("__author__");
Constant k_email("__email__");
Constant k_date_reg_ex("date_reg_ex");
Constant k_IataCodeValidator("IataCodeValidator");
Constant k_DateValidator("DateValidator");
Constant k_NumberValidator("NumberValidator");
Constant k_one_way_questions("one_way_questions");
Constant k_fly_back_question("fly_back_question");
Constant k_test("__test__");
Constant k_author_name("The tavimo developers");
Constant k_email_address("developers@tavimo.invalid");

// Day/month/year, two-digit day and month, years 1900 to 9999; 29 February only in years
// whose last two digits are a multiple of four.
Constant k_date_pattern(
    R"~((^(((0[1-9]|1[0-9]|2[0-8])[\/](0[1-9]|1[012]))|((29|30|31)[\/](0[13578]|1[02]))|)~"
    R"~(((29|30)[\/](0[469]|11)))[\/](19|[2-9][0-9])\d\d$)|)~"
    R"~((^29[\/]02[\/](19|[2-9][0-9])(00|04|08|12|16|20|24|28|32|36|40|44|48|52|56|60|64|68|)~"
    R"~(72|76|80|84|88|92|96)$))~");
Constant k_iata_pattern("^[a-zA-Z]{3}$");

Constant k_match("match");
Constant k_text("text");
Constant k_kw_message_cursor([] { return frame::make_kwnames({"message", "cursor_position"}); });

Constant k_iata_message(
    "Please use 3 letter IATA airport codes. To find out IATA codes use: tavimo "
    "--find-airport <city_name>");
Constant k_date_message("Please enter date in correct format");
Constant k_number_message("Please enter a number");

// Question records.
Constant k_type("type");
Constant k_name("name");
Constant k_message("message");
Constant k_validate("validate");
Constant k_filter("filter");
Constant k_default("default");
Constant k_input("input");
Constant k_origin("origin");
Constant k_destination("destination");
Constant k_fly_out_date("fly_out_date");
Constant k_fly_back_date("fly_back_date");
Constant k_adults("adults");
Constant k_teens("teens");
Constant k_children("children");
Constant k_infants("infants");
Constant k_origin_message("Origin airport:");
Constant k_destination_message("Destination airport:");
Constant k_fly_out_message("Fly out date (dd/mm/yyyy):");
Constant k_fly_back_message("Fly back date (dd/mm/yyyy):");
Constant k_adults_message("Adults (>16 Years)?");
Constant k_teens_message("Teens (12-15 Years)?");
Constant k_children_message("Children (2-11 Years)?");
Constant k_infants_message("Infants (<2 Years)?");
Constant k_one_text("1");
Constant k_zero_text("0");

// Module-level names, read at each use.
Global g_re("re");
Global g_Validator("Validator");
Global g_ValidationError("ValidationError");
Global g_date_reg_ex("date_reg_ex");
Global g_IataCodeValidator("IataCodeValidator");
Global g_DateValidator("DateValidator");
Global g_NumberValidator("NumberValidator");
Global g_one_way_questions("one_way_questions");
Global g_fly_back_question("fly_back_question");

CachedBuiltin b_value_error("ValueError");

// Where get_questions puts the return-date question: after the fly-out date.
constexpr Py_ssize_t fly_back_index = 3;

Ref none() { return Ref::borrow(Py_None); }

// ---------------------------------------------------------------------------------------
// Validators

// The validators keep no state: construction takes nothing and does nothing.
Ref init_nothing(PyObject*) { return none(); }

constexpr const char* init_doc = "This is initialization function, usually it's kept empty";

// raise ValidationError(message=message, cursor_position=len(document.text))
Ref reject(PyObject* document, PyObject* message) {
    Ref error_class = g_ValidationError.get();
    if (!error_class) return nullptr;
    Ref text = frame::get_attr(document, k_text);
    if (!text) return nullptr;
    Py_ssize_t length = frame::length(text.get());
    if (length < 0) return nullptr;
    Ref cursor = Ref::steal(PyLong_FromSsize_t(length));
    if (!cursor) return frame::fail_at(Where::current());
    Ref error = frame::call(error_class.get(), {message, cursor.get()}, k_kw_message_cursor);
    if (!error) return nullptr;
    return frame::raise(error.get());
}

// re.match
Ref match_function() {
    Ref re = g_re.get();
    if (!re) return nullptr;
    return frame::get_attr(re.get(), k_match);
}

// Accepts document.text when match(pattern, text) is true, else rejects it with message.
Ref match_or_reject(PyObject* match, PyObject* pattern, PyObject* document, PyObject* message) {
    Ref text = frame::get_attr(document, k_text);
    if (!text) return nullptr;
    Ref found = frame::call(match, {pattern, text.get()});
    if (!found) return nullptr;
    int accepted = frame::truth(found.get());
    if (accepted < 0) return nullptr;
    if (accepted) return none();
    return reject(document, message);
}

Ref iata_code_validate(PyObject* const* args) {
    PyObject* document = args[1];
    Ref match = match_function();
    if (!match) return nullptr;
    return match_or_reject(match.get(), k_iata_pattern, document, k_iata_message);
}

Ref date_validate(PyObject* const* args) {
    PyObject* document = args[1];
    Ref match = match_function();
    if (!match) return nullptr;
    Ref pattern = g_date_reg_ex.get();
    if (!pattern) return nullptr;
    return match_or_reject(match.get(), pattern.get(), document, k_date_message);
}

Ref number_validate(PyObject* const* args) {
    PyObject* document = args[1];
    // try: int(document.text)
    Ref text = frame::get_attr(document, k_text);
    if (text && frame::to_int(text.get())) return none();
    // except ValueError: (only the class cached at import, and its subclasses)
    frame::Handler handler;
    if (!handler.take(b_value_error.get())) return nullptr;
    return reject(document, k_number_message);
}

const frame::FunctionDef iata_init_def("__init__", "IataCodeValidator.__init__", init_doc, {"self"},
                                       init_nothing, frame::Naming::Qualified);
const frame::FunctionDef iata_validate_def("validate", "IataCodeValidator.validate", nullptr,
                                           {"self", "document"}, frame::Defaults::None, {},
                                           iata_code_validate);
const frame::FunctionDef date_init_def("__init__", "DateValidator.__init__", init_doc, {"self"},
                                       init_nothing, frame::Naming::Qualified);
const frame::FunctionDef date_validate_def("validate", "DateValidator.validate", nullptr,
                                           {"self", "document"}, frame::Defaults::None, {},
                                           date_validate);
const frame::FunctionDef number_init_def("__init__", "NumberValidator.__init__", init_doc, {"self"},
                                         init_nothing, frame::Naming::Qualified);
const frame::FunctionDef number_validate_def("validate", "NumberValidator.validate", nullptr,
                                             {"self", "document"}, frame::Defaults::None, {},
                                             number_validate);

// ---------------------------------------------------------------------------------------
// Filters of the passenger counts: the answer as an integer (an exact int is kept as is).

Ref to_count(PyObject* answer) { return frame::to_int(answer); }

const frame::FunctionDef adults_filter_def("lambda", "<lambda>", nullptr, {"x"}, to_count,
                                           frame::Naming::Lambda);
const frame::FunctionDef teens_filter_def("lambda1", "<lambda>", nullptr, {"x"}, to_count,
                                          frame::Naming::Lambda);
const frame::FunctionDef children_filter_def("lambda2", "<lambda>", nullptr, {"x"}, to_count,
                                             frame::Naming::Lambda);
const frame::FunctionDef infants_filter_def("lambda3", "<lambda>", nullptr, {"x"}, to_count,
                                            frame::Naming::Lambda);

// ---------------------------------------------------------------------------------------
// get_questions

Ref get_questions(PyObject* const* args) {
    PyObject* round_trip = args[0];
    int is_round_trip = frame::truth(round_trip);
    if (is_round_trip < 0) return nullptr;
    Ref one_way_questions = g_one_way_questions.get();
    if (!one_way_questions || !is_round_trip) return one_way_questions;

    // A list of its own, so that the module's one-way list stays as it is.
    Ref fly_back_question = g_fly_back_question.get();
    if (!fly_back_question) return nullptr;
    Ref round_trip_questions = Ref::steal(PySequence_List(one_way_questions.get()));
    if (!round_trip_questions) return frame::fail_at(Where::current());
    if (PyList_Insert(round_trip_questions.get(), fly_back_index, fly_back_question.get()) < 0)
        return frame::fail_at(Where::current());
    return round_trip_questions;
}

const frame::FunctionDef get_questions_def(
    "get_questions", "get_questions",
    "\n"
    "    This function returns a set of questions based on trip type\n"
    "\n"
    "    :param round_trip: (boolean) If it's a round trip or not\n"
    "    :return: (list) python list of dictionary based questions\n"
    "    ",
    {"round_trip"}, frame::Defaults::AllNone, {"round_trip_questions"}, get_questions);

// ---------------------------------------------------------------------------------------
// Module body

// A new mapping with the entries in the given order.
Ref new_record(std::initializer_list<std::pair<PyObject*, PyObject*>> entries,
               Where where = Where::current()) {
    Ref record = Ref::steal(PyDict_New());
    if (!record) return frame::fail_at(where);
    for (const auto& [key, value] : entries)
        if (PyDict_SetItem(record.get(), key, value) < 0) return frame::fail_at(where);
    return record;
}

// {"type": "input", "name": ..., "message": ..., "validate": <validator class>}
Ref question(PyObject* name, PyObject* message, Global& validator, Where where = Where::current()) {
    Ref validator_class = validator.get(where);
    if (!validator_class) return nullptr;
    return new_record({{k_type, k_input},
                       {k_name, name},
                       {k_message, message},
                       {k_validate, validator_class.get()}},
                      where);
}

// A passenger-count question: validated as a number, filtered into an integer.
Ref count_question(PyObject* name, PyObject* message, const frame::FunctionDef& filter,
                   PyObject* default_answer, Where where = Where::current()) {
    Ref validator_class = g_NumberValidator.get(where);
    if (!validator_class) return nullptr;
    Ref filter_function = frame::make_function(filter, where);
    if (!filter_function) return nullptr;
    return new_record({{k_type, k_input},
                       {k_name, name},
                       {k_message, message},
                       {k_validate, validator_class.get()},
                       {k_filter, filter_function.get()},
                       {k_default, default_answer}},
                      where);
}

bool bind_questions() {
    Ref origin = question(k_origin, k_origin_message, g_IataCodeValidator);
    if (!origin) return false;
    Ref destination = question(k_destination, k_destination_message, g_IataCodeValidator);
    if (!destination) return false;
    Ref fly_out = question(k_fly_out_date, k_fly_out_message, g_DateValidator);
    if (!fly_out) return false;
    Ref adults = count_question(k_adults, k_adults_message, adults_filter_def, k_one_text);
    if (!adults) return false;
    Ref teens = count_question(k_teens, k_teens_message, teens_filter_def, k_zero_text);
    if (!teens) return false;
    Ref children = count_question(k_children, k_children_message, children_filter_def, k_zero_text);
    if (!children) return false;
    Ref infants = count_question(k_infants, k_infants_message, infants_filter_def, k_zero_text);
    if (!infants) return false;
    Ref one_way_questions =
        frame::new_list({origin.get(), destination.get(), fly_out.get(), adults.get(), teens.get(),
                         children.get(), infants.get()});
    if (!one_way_questions || !frame::bind(k_one_way_questions, one_way_questions.get()))
        return false;

    Ref fly_back = question(k_fly_back_date, k_fly_back_message, g_DateValidator);
    return fly_back && frame::bind(k_fly_back_question, fly_back.get());
}

bool module_body() {
    return frame::import_module(k_re) &&
           frame::import_names(k_inquirer_package, {k_Validator, k_ValidationError}, 0) &&
           frame::bind(k_author, k_author_name) && frame::bind(k_email, k_email_address) &&
           frame::bind(k_date_reg_ex, k_date_pattern) &&
           frame::create_class(k_IataCodeValidator, {&g_Validator},
                               {&iata_init_def, &iata_validate_def}) &&
           frame::create_class(k_DateValidator, {&g_Validator},
                               {&date_init_def, &date_validate_def}) &&
           frame::create_class(k_NumberValidator, {&g_Validator},
                               {&number_init_def, &number_validate_def}) &&
           bind_questions() && frame::bind_function(get_questions_def) &&
           frame::bind_empty_mapping(k_test);
}

const frame::ModuleDef module_definition{"questions", "tavimo.questions",
                                         "Operations module for tavimo",
                                         "tavimo/questions/questions.cpp", module_body};

}  // namespace

PyMODINIT_FUNC PyInit_questions() { return frame::initialise(module_definition); }
