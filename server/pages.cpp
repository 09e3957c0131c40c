#include "server/pages.h"

#include "protocol/token.h"

#include <nettle/sha2.h>

namespace tarvo::server {

namespace {

constexpr std::string_view kStyle =
    "body{margin:0;background:#f4f4f2;color:#1f1f1f;"
    "font:16px/1.5 system-ui,-apple-system,\"Segoe UI\",Roboto,\"DejaVu Sans\",sans-serif}"
    "main{max-width:64rem;margin:0 auto;padding:1.5rem 1rem 3rem}"
    "h1{font-size:1.5rem;line-height:1.25;margin:0 0 1rem;overflow-wrap:anywhere}"
    "h2{font-size:1.15rem;margin:2rem 0 .5rem}"
    "a{color:#0a58ca}"
    "img{display:block;max-width:100%;height:auto}"
    ".shot img{background:#fff;box-shadow:0 1px 6px rgba(0,0,0,.25)}"
    ".actions{margin:1rem 0 0}"
    ".actions a{margin-right:1.5rem}"
    "figure{margin:1.5rem 0}"
    "figcaption{color:#555;font-size:.9rem;margin-top:.4rem}"
    "code,pre{font-family:\"DejaVu Sans Mono\",monospace;background:#e8e8e4;border-radius:3px}"
    "code{padding:.1em .3em}"
    "pre{padding:.6rem .8rem;overflow-x:auto}";

std::string styleHash()
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, kStyle.size(), reinterpret_cast<const std::uint8_t*>(kStyle.data()));
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    return "'sha256-" + protocol::EncodeBase64(digest, sizeof digest).value() + "'";
}

std::string head(std::string_view title, bool noIndex)
{
    std::string out = "<!DOCTYPE html>\n<html lang=\"ru\">\n<head>\n<meta charset=\"utf-8\">\n"
                      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    if (noIndex) out += "<meta name=\"robots\" content=\"noindex, nofollow\">\n";
    out += "<title>";
    out += title;
    out += "</title>\n<style>";
    out += kStyle;
    out += "</style>\n</head>\n<body>\n<main>\n";
    return out;
}

constexpr std::string_view kTail = "</main>\n</body>\n</html>\n";

} // namespace

const std::string& ContentSecurityPolicy()
{
    static const std::string policy = "default-src 'none'; img-src 'self'; style-src " +
                                      styleHash() +
                                      "; base-uri 'none'; form-action 'none'; "
                                      "frame-ancestors 'none'";
    return policy;
}

std::string EscapeHtml(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                out += "\xef\xbf\xbd";
            else
                out += c;
        }
    }
    return out;
}

std::string ImagePage(const ImagePageData& data)
{
    const std::string title =
        data.annotation.empty() ? std::string("Снимок экрана") : EscapeHtml(data.annotation);
    const std::string file = std::string(data.linkToken) + "." + std::string(data.fileExtension);
    const std::string download =
        "tarvo-" + std::string(data.idToken.substr(0, 6)) + "." + std::string(data.fileExtension);
    std::string out = head(title, true);
    out += "<h1>" + title + "</h1>\n";
    out += "<p class=\"shot\"><a href=\"" + file + "\" title=\"Открыть в полном размере\">";
    out += "<img src=\"" + file + "\" alt=\"" + title + "\"></a></p>\n";
    out += "<p class=\"actions\"><a href=\"" + file + "\" download=\"" + download +
           "\">Скачать</a><a href=\"" + file + "\">Открыть в полном размере</a></p>\n";
    out += kTail;
    return out;
}

std::string ProductPage(const ProductPageData& data)
{
    std::string out = head("Tarvo — снимки экрана из системного лотка", false);
    out += R"(<h1>Tarvo</h1>
<p>Tarvo — небольшая программа для снимков экрана в Linux (X11), которая живёт в системном
лотке. Нажмите <kbd>Print Screen</kbd> (или дважды щёлкните значок в лотке, или выберите снимок
в его меню): экран замирает, вы обводите мышью прямоугольник, и фрагмент отправляется туда, куда
указывает меню лотка:</p>
<ul>
<li><strong>в веб</strong>: снимок сжимается (PNG, а если он слишком велик — JPEG), шифруется
прямо на вашем компьютере новым случайным ключом и отправляется на этот сервис. Ссылка на снимок
попадает в буфер обмена и в историю меню; ключ есть только в ней — сервис хранит лишь
зашифрованные байты и открыть их без ссылки не может;</li>
<li><strong>в буфер обмена</strong>, как картинка;</li>
<li><strong>в файл</strong> с номером (<code>screenshot_00001.png</code>, …) в выбранной
папке.</li>
</ul>
)";
    if (data.trayMenuPicture)
        out += "<figure><img src=\"tray-menu.png\" alt=\"Меню Tarvo в системном лотке\">"
               "<figcaption>Меню Tarvo в системном лотке</figcaption></figure>\n";
    out += R"(<h2>Установка</h2>
<p>На свежей Debian 12, из папки с исходным кодом Tarvo:</p>
<pre>./scripts/run.sh</pre>
<p>Команда ставит недостающие пакеты через <code>apt-get</code> (запускайте её от root или от
пользователя с <code>sudo</code> без пароля), собирает Tarvo и запускает его. Можно поставить
и пакет Debian: <code>sudo apt install ./tarvo_*.deb</code>.</p>
<h2>Свой сервис</h2>
<p>Снимки можно хранить на своём сервере: запустите на нём <code>tarvo-server</code> и укажите
Tarvo его адрес в файле настроек <code>~/.config/tarvo/tarvo.reg</code>:</p>
<pre>"Service URL"="https://shots.example.org/db/"</pre>
<p>или в переменной окружения <code>TARVO_SERVICE_URL</code>
(например, <code>TARVO_SERVICE_URL=https://shots.example.org/db/ tarvo</code>).</p>
)";
    out += "<p>Текущая версия: " + EscapeHtml(data.version) + ".</p>\n";
    out += kTail;
    return out;
}

} // namespace tarvo::server
