// The console's forms: each field with the label the page shows, the
// value typed (kept when the form comes back with an error), and the
// error named by that label beside the field at fault.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "rollouts/fleet_requests.h"

struct FormInput {
    std::string name;
    std::string label;
    std::string value;
    std::string hint;                 // a line of help under the field, or empty
    std::string type = "text";        // "text", "password", "checkbox", "select", "number", "file", "hidden"
    std::vector<std::pair<std::string, std::string>> choices = {};  // value, label, for a select
    bool required = false;
};

// The label of a field, or the name itself when the form has no such field.
std::string LabelOf(const std::vector<FormInput>& inputs, const std::string& name);

// An error of a request as the form says it: «label» and the text.
std::string FormErrorText(const std::vector<FormInput>& inputs, const RequestError& error);

// The whole form, posting to `action` with the session's CSRF token; the
// error (if any) above it, and its field marked. `multipart` for uploads.
std::string FormHtml(const std::string& action, const std::string& csrf, const std::vector<FormInput>& inputs,
                     const std::string& submit, const RequestError& error = {}, bool multipart = false);

// Every value a form sent back, by field name, for showing it again.
void KeepValues(std::vector<FormInput>& inputs, const FieldOf& sent);
