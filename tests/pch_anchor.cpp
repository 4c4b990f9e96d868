// The precompiled Qt headers the tests share are built with this empty unit.
