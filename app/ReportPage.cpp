// The report page: every request variable, one per line.
#include "app/PageFrame.h"
#include "app/Pages.h"
#include "engine/HttpEngine.h"
#include "engine/HttpUtils.h"

void ReportPage() {
    THttpEngine* engine = CurrentHttpEngine();
    engine->SetAutoContentType("text/html");
    HttpSend("<html><body bgcolor=\"#FFFFFF\" text=\"#0000AA\">");
    HttpSend("<font size=4> - REPORT -</font><p>");
    // Request headers are the visitor's own text: escaped, never markup.
    if (StringList* variables = engine->ServerVariables())
        for (const std::string& entry : variables->Items()) HttpSend(http::HtmlEscape(entry) + "<br>");
    PageFooter();
}
