#!/usr/bin/env bash
# The HTML report in a real browser: headless Chromium opens the report of the
# default encoder with a tile chosen in the address (the page's script applies
# it as the selector does), and the DOM it dumps after the script ran must hold
# that tile's memory map; a screenshot is taken too. Exits 77 (skipped) where
# Chromium is not installed; scripts/install-deps installs it.
#   report_browser.sh ORVOC WORK_DIR
set -euo pipefail

orvoc=$1
work=$2

chromium=$(command -v chromium || command -v chromium-browser || true)
if [[ -z $chromium ]]; then
  echo "SKIP: chromium is not installed (scripts/install-deps installs it); the report was not opened in a browser"
  exit 77
fi

rm -rf "$work"
mkdir -p "$work"
"$orvoc" compile -q --report "$work/report.html"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Runs headless Chromium on a fresh profile with the given arguments.
browse() {
  local profile
  profile=$(mktemp -d "$work/profile.XXXXXX")
  timeout 120 "$chromium" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" "$@" 2>>"$work/chromium.log"
  rm -rf "$profile"
}

# The DOM of the report opened with `fragment`, on one line.
dom() {
  browse --dump-dom "file://$work/report.html#$1" | tr '\n' ' '
}

# What the script put into the map container, up to the end of its first element.
shown_map() {
  grep -o '<div id="memory-map"[^>]*>.*' <<<"$1" | sed 's#</svg>.*#</svg>#; s#</p>.*#</p>#'
}

count() {
  grep -o "$1" <<<"$2" | wc -l | tr -d ' '
}

expect_count() {
  local actual
  actual=$(count "$2" "$3")
  [[ $actual == "$4" ]] || fail "$1: expected $4 of '$2', found $actual"
}

dom5=$(dom tile=5)
dom40=$(dom tile=40)
map5=$(shown_map "$dom5")
map40=$(shown_map "$dom40")

# The page drew its pictures: the peak chart with a bar per tile, and the map.
expect_count "tile 5 page" '<svg class="peak-chart"' "$dom5" 1
expect_count "tile 5 page" '<rect class="bar' "$dom5" 64
expect_count "tile 5 page" '<rect class="bar selected" data-first="5"' "$dom5" 1

# Tile 5 holds 20 pieces (every tensor of tiles 0-7 but attention_scores and
# attention_softmax), tile 40 a piece of w1 and one of w2.
[[ $map5 == '<div id="memory-map" data-tile="5">'* ]] || fail "tile 5: map container ${map5:0:80}"
expect_count "tile 5 map" '<svg class="memory-map" data-tile="5"' "$map5" 1
expect_count "tile 5 map" '<rect class="allocation ' "$map5" 20
expect_count "tile 5 map" '>attention_residual</text>' "$map5" 1
expect_count "tile 40 map" '<svg class="memory-map" data-tile="40"' "$map40" 1
expect_count "tile 40 map" '<rect class="allocation ' "$map40" 2
expect_count "tile 40 map" '<rect class="allocation weight"' "$map40" 2
[[ $map5 != "$map40" ]] || fail "choosing another tile did not change the map"

# A tile past the last, and the phase filter preset from the address:
# attention_softmax is computed at 6, sent at 7 and read at 8.
dom_none=$(dom 'tile=70&search=attention_softmax')
map_none=$(shown_map "$dom_none")
expect_count "tile 70" '<p class="empty">There is no tile 70: the tiles are 0 to 63.</p>' "$map_none" 1
expect_count "filter" '<span id="phase-count" class="hint">3 of 17 phases</span>' "$dom_none" 1
expect_count "filter" '<details class="phase [a-z]*" data-phase="[0-9]*" hidden=""' "$dom_none" 14

browse --screenshot="$work/report.png" --window-size=1400,2400 --hide-scrollbars "file://$work/report.html#tile=5" \
  >/dev/null
[[ -s $work/report.png ]] || fail "no screenshot"
[[ $(head -c 8 "$work/report.png" | od -An -tx1 | tr -d ' \n') == 89504e470d0a1a0a ]] || fail "the screenshot is no PNG"
size=$(stat -c %s "$work/report.png")
((size > 20000)) || fail "the screenshot is nearly empty ($size bytes)"

echo "report_browser: maps of tiles 5 and 40 shown, filter applied, screenshot $work/report.png ($size bytes)"
