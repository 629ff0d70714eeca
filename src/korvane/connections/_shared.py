"""What the market-data connections have in common: page requests and log banners."""

# Web pages are fetched the way a browser asks for them: the encyclopedia answers
# 403 to clients without a browser-like User-Agent, and a server that stalls must
# not hang the caller.
BROWSER_HEADERS = {
    "User-Agent": (
        "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/126.0 Safari/537.36"
    )
}
PAGE_TIMEOUT_SECONDS = 30

_BANNER_DASHES = "-" * 29


def banner(text):
    """A log banner: `text` framed by 29 dashes on each side."""
    return f"{_BANNER_DASHES}{text}{_BANNER_DASHES}"
