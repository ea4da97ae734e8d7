#!/usr/bin/env python3
"""Writes the seed corpus and the dictionary of the HTML-to-rich-text fuzz target. A seed's first
byte picks the input form (even: one unit per byte, odd: UTF-16LE) and the point size (9 here).
Run from this folder: python3 gen_seeds.py"""
import os

here = os.path.dirname(os.path.abspath(__file__))
out = os.path.join(here, "corpus")
BYTES, UTF16 = b"\x22", b"\x23"

seeds = {
    "blocks": BYTES + b"<h1>Release 2.1</h1><p>Fixed <b>three</b> <i>bugs</i>.<br>See below:</p>"
                      b"<ul><li>one<li>two<ol start=3><li>three</ol></ul><pre>\n a\n\tb</pre>",
    "links": BYTES + b"<p><a href=\"https://example.com/?a=1&amp;b=2\">notes</a> "
                     b"<a href='mailto:x@example.com'>mail</a> <a href=javascript:x()>js</a> "
                     b"<a href=http://a.test/><img alt=\"Pic &copy\"></a></p>",
    "raw": BYTES + b"a<script>if(a<b)x='</p>'</script>b<style>p{}</style><!-- c --><!DOCTYPE html>"
                   b"<?xml?><![CDATA[x]]><title>t</title><object><b>o</b></object><xmp><i></xmp>",
    "entities": BYTES + b"&lt;&gt;&amp;&nbsp;&copy 2024&notit;&#x1F600;&#150;&#0;&#xD800;&bogus; & <3 <",
    "table": BYTES + b"<table><tr><th>A<th>B<tr><td>1<td><td>3</table><dl><dt>t<dd>d</dl>"
                     b"<blockquote>q</blockquote><hr>",
    "utf16": UTF16 + "<p>\u65e5\u672c\u8a9e\U0001F600 <a href=\"https://\u4f8b.jp/\">\u30ea\u30f3\u30af</a>"
                     "</p>\r\n<b>x</b>".encode("utf-16-le") + b"\x00\xd8\x00\x00",
}
os.makedirs(out, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)

tokens = ["<p>", "</p>", "<br>", "<div>", "</div>", "<b>", "</b>", "<i>", "</i>", "<u>", "<h1>", "</h1>",
          "<h6>", "<ul>", "</ul>", "<ol start=", "</ol>", "<li>", "<li value=", "</li>", "<pre>", "</pre>",
          "<table>", "<tr>", "<td>", "<th>", "</table>", "<blockquote>", "<dl>", "<dt>", "<dd>", "<hr>",
          "<a href=", "</a>", "https://a.test/", "mailto:a@b", "javascript:", "<img alt=", "<script>",
          "</script>", "<style>", "</style>", "<title>", "</title>", "<textarea>", "<iframe>", "<object>",
          "</object>", "<template>", "<xmp>", "</xmp>", "<plaintext>", "<listing>", "<!--", "-->",
          "<!DOCTYPE html>", "<?", "<![CDATA[", "]]>", "</", "/>", "&amp;", "&lt;", "&nbsp;", "&copy",
          "&notin;", "&thetasym;", "&#x", "&#", ";", "\"", "'", "=", " ", "\\n"]
with open(os.path.join(here, "html.dict"), "w") as f:
    for t in tokens:
        f.write('"%s"\n' % t.replace("\\n", "\\x0a").replace('"', '\\"'))
