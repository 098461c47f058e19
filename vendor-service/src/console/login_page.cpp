#include "console/login_page.h"

#include "console/html.h"

std::string LoginPage(const std::string& csrf, const std::string& message, const std::string& returnTo) {
    return Page(PageFrame{"Entrar", "", "", "", ZoneNamed("UTC"), {}},
                ErrorHtml(message) +
                    "<form method=\"post\" action=\"/panel/entrar\" class=\"alta\">"
                    "<input type=\"hidden\" name=\"csrf\" value=\"" + Html(csrf) + "\">"
                    "<input type=\"hidden\" name=\"volver\" value=\"" + Html(returnTo) + "\">"
                    "<label>Usuario <input name=\"usuario\" autocomplete=\"username\" required></label>"
                    "<label>Clave <input name=\"clave\" type=\"password\" autocomplete=\"current-password\" required>"
                    "</label><button type=\"submit\">Entrar</button></form>");
}
