#!/usr/bin/env python3
"""Workbooks for the spreadsheet tests, made and read by independent code.

  sheet_tool.py read FILE         prints the first sheet's cells (openpyxl)
  sheet_tool.py make NAME FILE    writes the fixture NAME
"""
import io
import json
import sys
import zipfile

import openpyxl

HEADER = ["序号", "任务名称", "备1", "启用2", "备2", "执行时间(时)", "执行时间(分)", "执行时间2(分)",
          "执行时间2(时)", "待备份数据库", "目标路径", "备份邮箱地址", "压缩开始时间(秒)", "邮件发送时间(秒)",
          "邮件主题格式", "服务器名", "数据库名", "用户名", "密码", "抄送邮箱地址"]
# One good record as text cells, column by column.
ROW = ["1", "夜间备份", "20:30", "False", "无", "20", "30", "0", "12", "db1,db2", "/bak", "a@b.c", "30", "60",
       "主题<date>", "srv", "master", "sa", "pw", "cc@d.e"]


def book(rows):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Tasks"
    ws.append(HEADER)
    for r in rows:
        ws.append(r)
    return wb


def row(**changes):
    """ROW with cells replaced by column number (c1..c20)."""
    r = list(ROW)
    for key, value in changes.items():
        r[int(key[1:]) - 1] = value
    return r


def save(wb, path):
    wb.save(path)


def zip_parts(path, parts):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in parts.items():
            z.writestr(name, data)


CONTENT_TYPES = ('<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/'
                 'content-types"/>')
PACKAGE_RELS = ('<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/'
                'package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/'
                'officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/></Relationships>')


def workbook_xml(first_target="worksheets/sheet1.xml", extra=""):
    wb = ('<?xml version="1.0" encoding="UTF-8"?><workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/'
          '2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"><sheets>'
          '<sheet name="First" sheetId="1" r:id="rIdA"/><sheet name="Second" sheetId="2" r:id="rIdB"/></sheets>'
          '</workbook>')
    rels = ('<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/package/'
            '2006/relationships">'
            '<Relationship Id="rIdB" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
            'worksheet" Target="worksheets/sheet1.xml"/>'
            '<Relationship Id="rIdA" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
            'worksheet" Target="%s"/>%s</Relationships>' % (first_target, extra))
    return wb, rels


SHARED_REL = ('<Relationship Id="rIdS" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
              'sharedStrings" Target="sharedStrings.xml"/>')


def sheet_xml(rows_xml, prolog=""):
    return ('<?xml version="1.0" encoding="UTF-8"?>%s<worksheet xmlns="http://schemas.openxmlformats.org/'
            'spreadsheetml/2006/main"><sheetData>%s</sheetData></worksheet>' % (prolog, rows_xml))


def inline_row(number, cells, with_refs=True):
    out = '<row r="%d">' % number if with_refs else "<row>"
    for i, text in enumerate(cells):
        if text == "":
            continue
        ref = ' r="%s%d"' % (column_name(i), number) if with_refs else ""
        out += '<c%s t="inlineStr"><is><t xml:space="preserve">%s</t></is></c>' % (ref, escape(text))
    return out + "</row>"


def column_name(i):
    name = ""
    i += 1
    while i:
        i, rem = divmod(i - 1, 26)
        name = chr(65 + rem) + name
    return name


def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def hand_zip(path, sheets, extra_rels="", shared=None, first_target="worksheets/sheet2.xml"):
    wb, rels = workbook_xml(first_target, extra_rels)
    parts = {"[Content_Types].xml": CONTENT_TYPES, "_rels/.rels": PACKAGE_RELS, "xl/workbook.xml": wb,
             "xl/_rels/workbook.xml.rels": rels}
    parts.update(sheets)
    if shared is not None:
        parts["xl/sharedStrings.xml"] = shared
    zip_parts(path, parts)


def make(name, path):
    if name == "good":
        save(book([row(), row(c1="2", c2="第二", c6="8", c7="5", c4="True", c9="21", c8="15")]), path)
    elif name == "numbers":
        # Numbers as Excel stores typed-in values; 20.0 is a whole number.
        save(book([row(c1=7, c6=20, c7=30.0, c8=0, c9=12, c13=30, c14=60, c19=12345678901234)]), path)
    elif name == "fraction":
        save(book([row(c13=1.5)]), path)
    elif name == "booleans":
        save(book([row(c4=True, c8=1, c9=2), row(c1="2", c4="true", c6="9"), row(c1="3", c4="0", c6="10"),
                   row(c1="4", c4=1, c6="11")]), path)
    elif name == "date":
        import datetime
        save(book([row(c6=datetime.datetime(2026, 12, 10, 20, 30))]), path)
    elif name == "formula":
        save(book([row(c1="=1+2")]), path)
    elif name == "error":
        wb = book([row()])
        wb.active["G2"] = "#N/A"
        wb.active["G2"].data_type = "e"
        save(wb, path)
    elif name == "empty":
        save(book([]), path)
    elif name == "row5":
        wb = book([row(c1=""), [""] * 20, [None] * 20, row(c1="5", c2="第五行")])
        save(wb, path)
    elif name == "extra":
        save(book([row() + ["x", "y", "=NOPE("]]), path)
    elif name == "hour24":
        save(book([row(c6="24")]), path)
    elif name == "minute-1":
        save(book([row(c7="-1")]), path)
    elif name == "nohour":
        save(book([row(c6="")]), path)
    elif name == "nosecond":
        save(book([row(c4="True", c9="")]), path)
    elif name == "nosecond-unused":
        save(book([row(c4="False", c9="", c8="")]), path)
    elif name == "long":
        save(book([row(c17="d" * 21)]), path)
    elif name == "long-cjk":
        save(book([row(c2="备" * 26)]), path)
    elif name == "not936":
        save(book([row(c2="备份😀")]), path)
    elif name == "badint":
        save(book([row(c6="二十")]), path)
    elif name == "badbool":
        save(book([row(), row(c1="2", c4="yes")]), path)
    elif name == "close":
        save(book([row(c2="甲", c6="20", c7="35"), row(c1="2", c2="乙", c6="6", c7="0")]), path)
    elif name == "rich":
        hand_zip(path, {"xl/worksheets/sheet2.xml": sheet_xml(
            '<row r="2"><c r="A2" t="s"><v>0</v></c><c r="B2" t="s"><v>1</v></c><c r="F2"><v>20</v></c>'
            '<c r="G2"><v>30</v></c><c r="J2" t="inlineStr"><is><r><t>db</t></r><r><rPr><b/></rPr><t>1</t></r>'
            '</is></c></row>')},
            extra_rels=SHARED_REL,
            shared='<?xml version="1.0" encoding="UTF-8"?><sst xmlns="http://schemas.openxmlformats.org/'
                   'spreadsheetml/2006/main"><si><t>9</t></si><si><r><t>夜</t></r><r><rPr><i/></rPr><t>间</t></r>'
                   '<rPh sb="0" eb="1"><t>ye</t></rPh><r><t>_x005F_x0041_&amp;_x0041_</t></r></si></sst>')
    elif name == "norefs":
        hand_zip(path, {"xl/worksheets/sheet2.xml": sheet_xml(
            inline_row(1, HEADER, with_refs=False) + inline_row(2, ROW, with_refs=False) +
            '<row><c t="inlineStr"><is><t>3</t></is></c><c t="inlineStr"><is><t>无引用</t></is></c>'
            '<c r="F3"><v>7</v></c><c><v>45</v></c></row>')})
    elif name == "doctype":
        hand_zip(path, {"xl/worksheets/sheet2.xml": sheet_xml(
            inline_row(2, ROW), prolog='<!DOCTYPE x [<!ENTITY a "aaaaaaaaaa">]>')})
    elif name == "badxml":
        hand_zip(path, {"xl/worksheets/sheet2.xml": sheet_xml(inline_row(2, ROW))[:-20]})
    elif name == "bomb":
        # A sheet that packs to a few hundred KiB and unpacks to more than 64 MiB.
        filler = " " * (65 << 20)
        hand_zip(path, {"xl/worksheets/sheet2.xml": sheet_xml(inline_row(2, ROW) + filler)})
    elif name == "rows10002":
        rows = "".join('<row r="%d"><c r="A%d"><v>%d</v></c><c r="F%d"><v>1</v></c><c r="G%d"><v>1</v></c></row>'
                       % (n, n, n, n, n) for n in range(2, 10003))
        hand_zip(path, {"xl/worksheets/sheet2.xml": sheet_xml(rows)})
    elif name == "rows10001":
        rows = "".join('<row r="%d"><c r="A%d"><v>%d</v></c><c r="F%d"><v>1</v></c><c r="G%d"><v>1</v></c></row>'
                       % (n, n, n, n, n) for n in range(2, 10002))
        hand_zip(path, {"xl/worksheets/sheet2.xml": sheet_xml(rows + '<row r="10005"><c r="B10005" t="inlineStr">'
                                                              '<is><t>x</t></is></c></row>')})
    elif name == "ole2":
        with open(path, "wb") as f:
            f.write(bytes([0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1]) + bytes(504))
    elif name == "random":
        import random
        rnd = random.Random(7)
        with open(path, "wb") as f:
            f.write(b"PK\x03\x04" + bytes(rnd.randrange(256) for _ in range(3000)))
    elif name == "truncated":
        buf = io.BytesIO()
        save(book([row()]), buf)
        with open(path, "wb") as f:
            f.write(buf.getvalue()[:-200])
    else:
        raise SystemExit("unknown fixture " + name)


def read(path):
    """First line: the sheet names joined by "|"; then one line per cell:
    reference, data type, number format and the value as JSON, tab-separated."""
    wb = openpyxl.load_workbook(path)
    ws = wb.worksheets[0]
    print("|".join(wb.sheetnames))
    for r in ws.iter_rows():
        for c in r:
            if c.value is None:
                continue
            print("%s\t%s\t%s\t%s" % (c.coordinate, c.data_type, c.number_format,
                                        json.dumps(c.value, ensure_ascii=False)))


if __name__ == "__main__":
    if sys.argv[1] == "read":
        read(sys.argv[2])
    elif sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3])
