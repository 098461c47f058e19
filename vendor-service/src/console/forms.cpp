#include "console/forms.h"

#include "console/html.h"

std::string LabelOf(const std::vector<FormInput>& inputs, const std::string& name) {
    for (const FormInput& input : inputs) {
        if (input.name == name) return input.label;
    }
    return name;
}

std::string FormErrorText(const std::vector<FormInput>& inputs, const RequestError& error) {
    if (error.text.empty()) return std::string();
    if (!error.needsName) return error.text;
    return "«" + LabelOf(inputs, error.field) + "» " + error.text + ".";
}

namespace {

std::string InputHtml(const FormInput& input) {
    const std::string name = Html(input.name);
    const std::string required = input.required ? " required" : "";
    if (input.type == "checkbox") {
        return "<input type=\"checkbox\" name=\"" + name + "\" value=\"1\"" + (input.value.empty() ? "" : " checked") +
               "> " + Html(input.label);
    }
    if (input.type == "select") {
        std::string select = "<select name=\"" + name + "\"" + required + ">";
        for (const auto& [value, label] : input.choices) {
            select += "<option value=\"" + Html(value) + "\"" + (value == input.value ? " selected" : "") + ">" +
                      Html(label) + "</option>";
        }
        return select + "</select>";
    }
    return "<input type=\"" + Html(input.type) + "\" name=\"" + name + "\"" +
           (input.type == "password" || input.type == "file" ? "" : " value=\"" + Html(input.value) + "\"") + required +
           ">";
}

}  // namespace

std::string FormHtml(const std::string& action, const std::string& csrf, const std::vector<FormInput>& inputs,
                     const std::string& submit, const RequestError& error, bool multipart) {
    std::string form = ErrorHtml(FormErrorText(inputs, error));
    form += "<form method=\"post\" action=\"" + Html(action) + "\" class=\"alta\"" +
            (multipart ? " enctype=\"multipart/form-data\"" : "") + ">";
    form += "<input type=\"hidden\" name=\"csrf\" value=\"" + Html(csrf) + "\">";
    for (const FormInput& input : inputs) {
        if (input.type == "hidden") {
            form += "<input type=\"hidden\" name=\"" + Html(input.name) + "\" value=\"" + Html(input.value) + "\">";
            continue;
        }
        const bool atFault = !error.field.empty() && error.field == input.name;
        form += std::string("<label") + (atFault ? " class=\"campo-error\"" : "") + ">";
        if (input.type != "checkbox") form += Html(input.label) + " ";
        form += InputHtml(input);
        if (atFault) form += "<span class=\"mensaje-campo\">" + Html(FormErrorText(inputs, error)) + "</span>";
        if (!input.hint.empty()) form += "<small>" + Html(input.hint) + "</small>";
        form += "</label>";
    }
    return form + "<button type=\"submit\">" + Html(submit) + "</button></form>";
}

void KeepValues(std::vector<FormInput>& inputs, const FieldOf& sent) {
    for (FormInput& input : inputs) {
        if (input.type != "password" && input.type != "file" && input.type != "hidden") input.value = sent(input.name);
    }
}
