[playlist]
File1=/music/a.mp3
Title1=Song
NumberOfEntries=1
