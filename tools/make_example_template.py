"""Writes examples/letter.docx, the small template the README fills, and
examples/letters.csv, records for the batch command. Run from the repository:
python3 tools/make_example_template.py"""

from pathlib import Path

import docx
from docx.enum.text import WD_PARAGRAPH_ALIGNMENT
from docx.oxml.ns import qn
from docx.shared import Pt

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def main() -> None:
    document = docx.Document()
    normal = document.styles["Normal"]
    normal.font.name = "Calibri"
    normal.font.size = Pt(12)
    normal.element.rPr.rFonts.set(qn("w:eastAsia"), "新細明體")
    title = document.add_paragraph("專利申請受理通知 Notice of Filing", style="Title")
    title.alignment = WD_PARAGRAPH_ALIGNMENT.CENTER
    document.add_paragraph("{{NAME}} 先生/女士 您好：")
    document.add_paragraph(
        "您於 {{DATE}} 提出的專利申請「{{TITLE}}」已經受理，案號為 {{CASE}}。"
        "Your application has been received; please quote the case number in every letter."
    )
    table = document.add_table(rows=3, cols=2)
    table.style = "Table Grid"
    for row, (label, value) in zip(table.rows, [("案號 Case", "{{CASE}}"), ("申請人 Applicant", "{{NAME}}"),
                                               ("申請日 Filed", "{{DATE}}")]):
        row.cells[0].text = label
        row.cells[1].text = value
    document.add_paragraph("Varnholt 專利事務所 敬上")
    document.core_properties.author = "Varnholt"
    document.core_properties.title = "Notice of filing (example template)"
    EXAMPLES.mkdir(exist_ok=True)
    document.save(str(EXAMPLES / "letter.docx"))
    (EXAMPLES / "letters.csv").write_text(
        "{{CASE}},{{NAME}},{{DATE}},{{TITLE}}\n"
        "TW-2025-0001,王小明,2025-01-04,可折疊的自行車架\n"
        "TW-2025-0002,林\U00020000華,2025-01-06,低噪音散熱風扇 🌀\n"
        'TW-2025-0003,"Chen, Mei-Ling",2025-01-09,Wireless soil moisture sensor\n',
        encoding="utf-8",
    )


if __name__ == "__main__":
    main()
