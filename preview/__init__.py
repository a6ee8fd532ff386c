"""The preview: what install.exe would do on a site's PCs, run on copies of their exports.

pc_export.py reads a PC's export, machine.py runs one machine and reads what
it did, site_table.py runs a folder of them into a table and a CSV file,
report.py prints one machine's run, main.py is the command behind
scripts/demo.sh and scripts/preview.sh.
"""
