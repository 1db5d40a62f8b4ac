"""
The command line's plot
=======================

``zelvane fit TABLE --plot FILE`` fits every histogram of a table and draws the fit.
The table here is a census table written the way spreadsheets export it: a label
per bracket, thousands separated by commas, an open top row. The same program runs
as ``python -m zelvane``; here :func:`zelvane.cli.main` runs it in this process.
"""

import os
import tempfile

import matplotlib.image as mpimg
import matplotlib.pyplot as plt

from zelvane.cli import main

table = """bracket,households
"Less than $10,000",97066
"$10,000 to $14,999",66389
"$15,000 to $24,999",146932
"$25,000 to $34,999",160214
"$35,000 to $49,999",241070
"$50,000 to $74,999",377013
"$75,000 to $99,999",300946
"$100,000 to $149,999",419009
"$150,000 to $199,999",225296
"$200,000 or more",260929
"""
os.chdir(tempfile.mkdtemp())
with open("income.csv", "w") as f:
    f.write(table)

status = main(["fit", "income.csv", "-o", "income_fit.csv", "--plot", "income_fit.png",
               "--check"])
print("exit status", status)

fig, ax = plt.subplots(figsize=(8, 5))
ax.imshow(mpimg.imread("income_fit.png"))
ax.set_axis_off()
plt.show()
