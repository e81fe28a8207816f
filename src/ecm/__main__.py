from ecm.cli import main

raise SystemExit(main())
